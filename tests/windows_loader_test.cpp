// The DLL as Windows loads it: every export by name and by ordinal, thread
// notifications while loaded, and a fresh state after unloading.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>

#include "VandryInterface.h"

namespace {

constexpr const char* kExportsByOrdinal[] = {
    "convert_std_sbus_data",       "encode_sbus_data_v1", "encode_sbus_data_v2",      "parse_hid_compatible_device",
    "parse_hid_game_controller_device", "parse_port_data", "request_upload_port_data", "stop_upload_port_data",
};

using EncodeFn = void (*)(sbus_frame*, const sbus_channels*);
using ParseFn = std::uint8_t (*)(const std::uint8_t*, std::uint8_t, channel_values*, channel_banks*);
using EntryFn = BOOL(WINAPI*)(HINSTANCE, DWORD, LPVOID);

template <typename Fn>
Fn resolve(HMODULE dll, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(dll, name)));
}

std::uint8_t footer(HMODULE dll) {
    const auto encode = resolve<EncodeFn>(dll, "encode_sbus_data_v2");
    sbus_frame f{};
    const sbus_channels c{};
    encode(&f, &c);
    return f.bytes[24];
}

// Half of an upload-data frame: if it survived an unload, the other half
// would complete it.
constexpr std::uint8_t kFirstHalf[] = {0xFA, 0xA5, 31, 0, 0, 1, 2, 3, 4, 5};
std::uint8_t second_half_completes_frame(HMODULE dll) {
    std::uint8_t rest[26] = {};
    rest[25] = 0x5F;
    channel_values channels{};
    return resolve<ParseFn>(dll, "parse_port_data")(rest, sizeof rest, &channels, nullptr);
}

DWORD WINAPI use_library(LPVOID module) {
    return footer(static_cast<HMODULE>(module)) != 0 ? 0 : 1;
}

TEST(WindowsLoader, ResolvesEveryExportByNameAndOrdinal) {
    HMODULE dll = LoadLibraryA("VandryInterface.dll");
    ASSERT_NE(dll, nullptr) << "LoadLibrary failed: " << GetLastError();
    for (WORD ordinal = 1; ordinal <= 8; ++ordinal) {
        const char* name = kExportsByOrdinal[ordinal - 1];
        FARPROC by_name = GetProcAddress(dll, name);
        FARPROC by_ordinal = GetProcAddress(dll, MAKEINTRESOURCEA(ordinal));
        EXPECT_NE(by_name, nullptr) << name;
        EXPECT_EQ(by_name, by_ordinal) << name << " is not ordinal " << ordinal;
    }
    EXPECT_EQ(GetProcAddress(dll, MAKEINTRESOURCEA(9)), nullptr);
    EXPECT_EQ(GetProcAddress(dll, "decode_e5_func"), nullptr);
    EXPECT_TRUE(FreeLibrary(dll));
}

TEST(WindowsLoader, ThreadsComeAndGoWhileLoaded) {
    HMODULE dll = LoadLibraryA("VandryInterface.dll");
    ASSERT_NE(dll, nullptr);
    for (int round = 0; round < 4; ++round) {
        HANDLE threads[4];
        for (HANDLE& t : threads) {
            t = CreateThread(nullptr, 0, use_library, dll, 0, nullptr);
            ASSERT_NE(t, nullptr);
        }
        EXPECT_EQ(WaitForMultipleObjects(4, threads, TRUE, 10000), WAIT_OBJECT_0);
        for (HANDLE t : threads) {
            DWORD code = 99;
            EXPECT_TRUE(GetExitCodeThread(t, &code));
            EXPECT_EQ(code, 0u);
            CloseHandle(t);
        }
    }
    // The entry point accepts thread notifications with TRUE.
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(dll);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(reinterpret_cast<const char*>(dll) + dos->e_lfanew);
    const auto entry = reinterpret_cast<EntryFn>(
        reinterpret_cast<std::uintptr_t>(dll) + nt->OptionalHeader.AddressOfEntryPoint);
    EXPECT_TRUE(entry(reinterpret_cast<HINSTANCE>(dll), DLL_THREAD_ATTACH, nullptr));
    EXPECT_TRUE(entry(reinterpret_cast<HINSTANCE>(dll), DLL_THREAD_DETACH, nullptr));
    EXPECT_TRUE(FreeLibrary(dll));
}

TEST(WindowsLoader, StateStartsFromZeroAfterReload) {
    HMODULE dll = LoadLibraryA("VandryInterface.dll");
    ASSERT_NE(dll, nullptr);
    EXPECT_EQ(footer(dll), 0x04);
    EXPECT_EQ(footer(dll), 0x14);
    channel_values channels{};
    EXPECT_EQ(resolve<ParseFn>(dll, "parse_port_data")(kFirstHalf, sizeof kFirstHalf, &channels, nullptr), 0);
    ASSERT_TRUE(FreeLibrary(dll));
    ASSERT_EQ(GetModuleHandleA("VandryInterface.dll"), nullptr) << "the DLL stayed loaded";

    dll = LoadLibraryA("VandryInterface.dll");
    ASSERT_NE(dll, nullptr);
    EXPECT_EQ(footer(dll), 0x04);
    EXPECT_EQ(second_half_completes_frame(dll), 0);
    EXPECT_TRUE(FreeLibrary(dll));
}

}  // namespace
