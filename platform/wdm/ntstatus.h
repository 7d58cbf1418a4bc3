#pragma once
// NT status codes the kernel stand-in and the driver report.

#include "platform/wdm/wdm_types.h"

using NTSTATUS = std::int32_t;

// Turns the documented unsigned spelling of a status into its signed value.
constexpr NTSTATUS ntStatus(std::uint32_t code) { return static_cast<NTSTATUS>(code); }

constexpr NTSTATUS STATUS_SUCCESS = ntStatus(0x00000000);
constexpr NTSTATUS STATUS_TIMEOUT = ntStatus(0x00000102);
constexpr NTSTATUS STATUS_PENDING = ntStatus(0x00000103);
constexpr NTSTATUS STATUS_OBJECT_NAME_EXISTS = ntStatus(0x40000000);
constexpr NTSTATUS STATUS_DEVICE_BUSY = ntStatus(0x80000011);
constexpr NTSTATUS STATUS_UNSUCCESSFUL = ntStatus(0xC0000001);
constexpr NTSTATUS STATUS_NOT_IMPLEMENTED = ntStatus(0xC0000002);
constexpr NTSTATUS STATUS_INVALID_HANDLE = ntStatus(0xC0000008);
constexpr NTSTATUS STATUS_INVALID_PARAMETER = ntStatus(0xC000000D);
constexpr NTSTATUS STATUS_INVALID_DEVICE_REQUEST = ntStatus(0xC0000010);
constexpr NTSTATUS STATUS_UNRECOGNIZED_MEDIA = ntStatus(0xC0000014);
constexpr NTSTATUS STATUS_MORE_PROCESSING_REQUIRED = ntStatus(0xC0000016);
constexpr NTSTATUS STATUS_ACCESS_DENIED = ntStatus(0xC0000022);
constexpr NTSTATUS STATUS_BUFFER_TOO_SMALL = ntStatus(0xC0000023);
constexpr NTSTATUS STATUS_OBJECT_NAME_INVALID = ntStatus(0xC0000033);
constexpr NTSTATUS STATUS_OBJECT_NAME_NOT_FOUND = ntStatus(0xC0000034);
constexpr NTSTATUS STATUS_OBJECT_NAME_COLLISION = ntStatus(0xC0000035);
constexpr NTSTATUS STATUS_DATA_ERROR = ntStatus(0xC000003F);
constexpr NTSTATUS STATUS_INSUFFICIENT_RESOURCES = ntStatus(0xC000009A);
constexpr NTSTATUS STATUS_DEVICE_NOT_READY = ntStatus(0xC00000A3);
constexpr NTSTATUS STATUS_NOT_SUPPORTED = ntStatus(0xC00000BB);
constexpr NTSTATUS STATUS_IO_TIMEOUT = ntStatus(0xC00000B5);
constexpr NTSTATUS STATUS_DEVICE_DOES_NOT_EXIST = ntStatus(0xC00000C0);
constexpr NTSTATUS STATUS_CANCELLED = ntStatus(0xC0000120);
constexpr NTSTATUS STATUS_NO_MEDIA = ntStatus(0xC0000178);
constexpr NTSTATUS STATUS_INVALID_DEVICE_STATE = ntStatus(0xC0000184);
constexpr NTSTATUS STATUS_IO_DEVICE_ERROR = ntStatus(0xC0000185);

// Success and informational statuses are the non-negative ones.
constexpr bool NT_SUCCESS(NTSTATUS status) { return status >= 0; }
