// The C89 consumer of VandryStream.h, compiled as C++98.
#include "stream_header_test.c"
