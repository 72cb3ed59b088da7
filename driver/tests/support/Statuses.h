// The NTSTATUS values driver tests expect, by name, and the 100-ns time unit;
// plain integers, so that tests on either side of the request boundary use them.
#pragma once

#include <cstdint>

namespace test_statuses {

constexpr int32_t Success = 0;
constexpr int32_t Unsuccessful = static_cast<int32_t>(0xC0000001);
constexpr int32_t NotImplemented = static_cast<int32_t>(0xC0000002);
constexpr int32_t InvalidHandle = static_cast<int32_t>(0xC0000008);
constexpr int32_t InvalidParameter = static_cast<int32_t>(0xC000000D);
constexpr int32_t InvalidDeviceRequest = static_cast<int32_t>(0xC0000010);
constexpr int32_t AccessDenied = static_cast<int32_t>(0xC0000022);
constexpr int32_t BufferTooSmall = static_cast<int32_t>(0xC0000023);
constexpr int32_t ObjectTypeMismatch = static_cast<int32_t>(0xC0000024);
constexpr int32_t DataOverrun = static_cast<int32_t>(0xC000003C);
constexpr int32_t DataLate = static_cast<int32_t>(0xC000003D);
constexpr int32_t InsufficientResources = static_cast<int32_t>(0xC000009A);
constexpr int32_t DeviceNotReady = static_cast<int32_t>(0xC00000A3);
constexpr int32_t NotSupported = static_cast<int32_t>(0xC00000BB);
constexpr int32_t InvalidDeviceState = static_cast<int32_t>(0xC0000184);
constexpr int32_t NotFound = static_cast<int32_t>(0xC0000225);
constexpr int32_t NoMatch = static_cast<int32_t>(0xC0000272);
constexpr int32_t AlreadyRegistered = static_cast<int32_t>(0xC0000718);
constexpr int32_t BufferOverflow = static_cast<int32_t>(0x80000005);
constexpr int32_t DeviceBusy = static_cast<int32_t>(0x80000011);

constexpr int64_t OneSecond = 10'000'000; // 100-ns units

} // namespace test_statuses
