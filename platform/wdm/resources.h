#pragma once
// Hardware resources handed to a driver with IRP_MN_START_DEVICE. The lists
// have a fixed capacity instead of the open-ended trailing arrays of the
// original layout, so that walking Count entries never leaves the object.

#include "platform/wdm/wdm_types.h"

constexpr UCHAR CmResourceTypeNull = 0;
constexpr UCHAR CmResourceTypePort = 1;
constexpr UCHAR CmResourceTypeInterrupt = 2;

enum CM_SHARE_DISPOSITION : UCHAR {
  CmResourceShareUndetermined = 0,
  CmResourceShareDeviceExclusive = 1,
  CmResourceShareDriverExclusive = 2,
  CmResourceShareShared = 3
};

enum INTERFACE_TYPE { InterfaceTypeUndefined = -1, Internal = 0, Isa = 1, PCMCIABus = 8 };

constexpr ULONG CM_MAX_PARTIAL_DESCRIPTORS = 8;

struct CM_PARTIAL_RESOURCE_DESCRIPTOR {
  UCHAR Type;
  UCHAR ShareDisposition;
  USHORT Flags;
  union {
    struct {
      PHYSICAL_ADDRESS Start;
      ULONG Length;
    } Port;
    struct {
      ULONG Level;
      ULONG Vector;
      KAFFINITY Affinity;
    } Interrupt;
  } u;
};
using PCM_PARTIAL_RESOURCE_DESCRIPTOR = CM_PARTIAL_RESOURCE_DESCRIPTOR*;

struct CM_PARTIAL_RESOURCE_LIST {
  USHORT Version;
  USHORT Revision;
  ULONG Count;
  CM_PARTIAL_RESOURCE_DESCRIPTOR PartialDescriptors[CM_MAX_PARTIAL_DESCRIPTORS];
};
using PCM_PARTIAL_RESOURCE_LIST = CM_PARTIAL_RESOURCE_LIST*;

struct CM_FULL_RESOURCE_DESCRIPTOR {
  INTERFACE_TYPE InterfaceType;
  ULONG BusNumber;
  CM_PARTIAL_RESOURCE_LIST PartialResourceList;
};
using PCM_FULL_RESOURCE_DESCRIPTOR = CM_FULL_RESOURCE_DESCRIPTOR*;

// A PC-Card function brings one full descriptor.
struct CM_RESOURCE_LIST {
  ULONG Count;
  CM_FULL_RESOURCE_DESCRIPTOR List[1];
};
using PCM_RESOURCE_LIST = CM_RESOURCE_LIST*;
