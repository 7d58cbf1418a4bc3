#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/wdm/kernel_host.h"
#include "platform/wdm/wdm.h"

namespace {

// A two-device stack built by hand: `upper` attached over `lower`, each with
// a dispatch routine the test sets, and an originator that sends requests
// from a stack location of its own and sees their final completion.
std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> upperDispatch;
std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> lowerDispatch;
std::vector<std::string> events;

NTSTATUS callUpper(PDEVICE_OBJECT device, PIRP irp) { return upperDispatch(device, irp); }
NTSTATUS callLower(PDEVICE_OBJECT device, PIRP irp) { return lowerDispatch(device, irp); }

NTSTATUS originatorDone(PDEVICE_OBJECT, PIRP, PVOID context) {
  events.push_back("originator");
  KeSetEvent(static_cast<KEVENT*>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS completeWith(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

class IrpFlowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    events.clear();
    std::fill(std::begin(upperDriver.MajorFunction), std::end(upperDriver.MajorFunction), callUpper);
    std::fill(std::begin(lowerDriver.MajorFunction), std::end(lowerDriver.MajorFunction), callLower);
    ASSERT_EQ(IoCreateDevice(&lowerDriver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &lower), STATUS_SUCCESS);
    ASSERT_EQ(IoCreateDevice(&upperDriver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &upper), STATUS_SUCCESS);
    ASSERT_EQ(IoAttachDeviceToDeviceStack(upper, lower), lower);
    ASSERT_EQ(upper->StackSize, 2);
    ASSERT_EQ(lower->AttachedDevice, upper);
  }
  void TearDown() override {
    upperDispatch = nullptr;
    lowerDispatch = nullptr;
    keld::wdm::resetKernel();
  }

  // Sends a device-control request to the top and returns the request, completed.
  PIRP send() {
    PIRP irp = IoAllocateIrp(static_cast<CCHAR>(upper->StackSize + 1), FALSE);
    IoSetNextIrpStackLocation(irp);
    originatorLocation = IoGetCurrentIrpStackLocation(irp);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    stack->MinorFunction = 0x5A;
    stack->Parameters.DeviceIoControl.IoControlCode = 0x00312000;
    stack->Parameters.DeviceIoControl.InputBufferLength = 7;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, originatorDone, &done, TRUE, TRUE, TRUE);
    dispatchResult = IoCallDriver(upper, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return irp;
  }

  DRIVER_OBJECT upperDriver{};
  DRIVER_OBJECT lowerDriver{};
  PDEVICE_OBJECT upper = nullptr;
  PDEVICE_OBJECT lower = nullptr;
  PIO_STACK_LOCATION originatorLocation = nullptr;
  KEVENT done{};
  NTSTATUS dispatchResult = STATUS_SUCCESS;
};

struct ForwardContext {
  PDEVICE_OBJECT seenDevice = nullptr;
  NTSTATUS seenStatus = STATUS_SUCCESS;
  NTSTATUS returns = STATUS_MORE_PROCESSING_REQUIRED;
};

NTSTATUS upperRoutine(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  auto* forward = static_cast<ForwardContext*>(context);
  events.push_back("upper routine");
  forward->seenDevice = device;
  forward->seenStatus = irp->IoStatus.Status;
  return forward->returns;
}

TEST_F(IrpFlowTest, MoreProcessingRequiredHandsTheRequestBackUntilItsDriverCompletesItAgain) {
  ForwardContext forward;
  upperDispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, upperRoutine, &forward, TRUE, TRUE, TRUE);
    IoCallDriver(lower, irp);
    events.push_back("upper resumes");
    return completeWith(irp, STATUS_SUCCESS);
  };
  lowerDispatch = [](PDEVICE_OBJECT, PIRP irp) {
    events.push_back("lower");
    return completeWith(irp, STATUS_IO_DEVICE_ERROR);
  };
  PIRP irp = send();
  EXPECT_EQ(events, (std::vector<std::string>{"lower", "upper routine", "upper resumes", "originator"}));
  EXPECT_EQ(forward.seenDevice, upper);
  EXPECT_EQ(forward.seenStatus, STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
  EXPECT_EQ(dispatchResult, STATUS_SUCCESS);
  IoFreeIrp(irp);
}

TEST_F(IrpFlowTest, ARoutineThatLetsCompletionGoOnPassesTheRequestUpAtOnce) {
  ForwardContext forward{.returns = STATUS_SUCCESS};
  upperDispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, upperRoutine, &forward, TRUE, TRUE, TRUE);
    const NTSTATUS status = IoCallDriver(lower, irp);
    events.push_back("upper returns");
    return status;
  };
  lowerDispatch = [](PDEVICE_OBJECT, PIRP irp) {
    events.push_back("lower");
    return completeWith(irp, STATUS_DEVICE_BUSY);
  };
  PIRP irp = send();
  EXPECT_EQ(events, (std::vector<std::string>{"lower", "upper routine", "originator", "upper returns"}));
  EXPECT_EQ(irp->IoStatus.Status, STATUS_DEVICE_BUSY);
  IoFreeIrp(irp);
}

TEST_F(IrpFlowTest, SkippingHandsTheLowerDriverTheUpperLocationItself) {
  PIO_STACK_LOCATION upperSaw = nullptr;
  PIO_STACK_LOCATION lowerSaw = nullptr;
  PIO_COMPLETION_ROUTINE lowerRoutine = nullptr;
  upperDispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    upperSaw = IoGetCurrentIrpStackLocation(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower, irp);
  };
  lowerDispatch = [&](PDEVICE_OBJECT device, PIRP irp) {
    lowerSaw = IoGetCurrentIrpStackLocation(irp);
    lowerRoutine = lowerSaw->CompletionRoutine;
    EXPECT_EQ(lowerSaw->DeviceObject, device);
    return completeWith(irp, STATUS_SUCCESS);
  };
  PIRP irp = send();
  EXPECT_EQ(lowerSaw, upperSaw);
  EXPECT_EQ(lowerRoutine, originatorDone);  // the originator's routine still sits there
  EXPECT_EQ(events, (std::vector<std::string>{"originator"}));
  IoFreeIrp(irp);
}

TEST_F(IrpFlowTest, CopyingGivesTheLowerDriverItsOwnLocationWithoutTheUpperRoutine) {
  IO_STACK_LOCATION lowerSaw{};
  PIO_STACK_LOCATION upperLocation = nullptr;
  PIO_STACK_LOCATION lowerLocation = nullptr;
  upperDispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    upperLocation = IoGetCurrentIrpStackLocation(irp);
    IoCopyCurrentIrpStackLocationToNext(irp);
    return IoCallDriver(lower, irp);
  };
  lowerDispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    lowerLocation = IoGetCurrentIrpStackLocation(irp);
    lowerSaw = *lowerLocation;
    return completeWith(irp, STATUS_SUCCESS);
  };
  PIRP irp = send();
  EXPECT_EQ(lowerLocation, upperLocation - 1);
  EXPECT_EQ(lowerSaw.MajorFunction, IRP_MJ_DEVICE_CONTROL);
  EXPECT_EQ(lowerSaw.MinorFunction, 0x5A);
  EXPECT_EQ(lowerSaw.Parameters.DeviceIoControl.IoControlCode, 0x00312000u);
  EXPECT_EQ(lowerSaw.Parameters.DeviceIoControl.InputBufferLength, 7u);
  EXPECT_EQ(lowerSaw.DeviceObject, lower);
  EXPECT_EQ(lowerSaw.CompletionRoutine, nullptr);
  EXPECT_EQ(lowerSaw.Control, 0);
  EXPECT_EQ(events, (std::vector<std::string>{"originator"}));
  IoFreeIrp(irp);
}

TEST_F(IrpFlowTest, PendingReturnedTravelsUpToTheOriginator) {
  std::thread completer;
  upperDispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    return IoCallDriver(lower, irp);
  };
  lowerDispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    completer = std::thread([irp] { completeWith(irp, STATUS_SUCCESS); });
    return STATUS_PENDING;
  };
  PIRP irp = send();
  completer.join();
  EXPECT_EQ(dispatchResult, STATUS_PENDING);
  EXPECT_TRUE(irp->PendingReturned);
  EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
  IoFreeIrp(irp);
}

struct InvokeCase {
  const char* name;
  NTSTATUS status;
  BOOLEAN cancel;
  BOOLEAN onSuccess;
  BOOLEAN onError;
  BOOLEAN onCancel;
  bool invoked;
};

class CompletionInvokeTest : public IrpFlowTest, public ::testing::WithParamInterface<InvokeCase> {};

TEST_P(CompletionInvokeTest, RoutineRunsOnlyForTheOutcomesItAskedFor) {
  const InvokeCase& c = GetParam();
  ForwardContext forward{.returns = STATUS_SUCCESS};
  upperDispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, upperRoutine, &forward, c.onSuccess, c.onError, c.onCancel);
    return IoCallDriver(lower, irp);
  };
  lowerDispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    irp->Cancel = c.cancel;
    return completeWith(irp, c.status);
  };
  PIRP irp = send();
  EXPECT_EQ(forward.seenDevice == upper, c.invoked);
  EXPECT_EQ(events.back(), "originator");
  IoFreeIrp(irp);
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, CompletionInvokeTest,
    ::testing::Values(InvokeCase{"SuccessOnSuccess", STATUS_SUCCESS, FALSE, TRUE, FALSE, FALSE, true},
                      InvokeCase{"SuccessOnErrorOnly", STATUS_SUCCESS, FALSE, FALSE, TRUE, FALSE, false},
                      InvokeCase{"InformationalCountsAsSuccess", STATUS_OBJECT_NAME_EXISTS, FALSE, TRUE, FALSE, FALSE,
                                 true},
                      InvokeCase{"ErrorOnError", STATUS_IO_DEVICE_ERROR, FALSE, FALSE, TRUE, FALSE, true},
                      InvokeCase{"WarningCountsAsError", STATUS_DEVICE_BUSY, FALSE, FALSE, TRUE, FALSE, true},
                      InvokeCase{"ErrorOnSuccessOnly", STATUS_IO_DEVICE_ERROR, FALSE, TRUE, FALSE, FALSE, false},
                      InvokeCase{"CancelledOnCancelOnly", STATUS_CANCELLED, TRUE, FALSE, FALSE, TRUE, true},
                      InvokeCase{"CancelledWithoutCancelFlag", STATUS_CANCELLED, TRUE, TRUE, FALSE, FALSE, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(IrpFlowTest, DetachAndDeleteLeaveNoPointerToTheGoneDevice) {
  IoDetachDevice(lower);
  EXPECT_EQ(lower->AttachedDevice, nullptr);
  EXPECT_EQ(IoGetAttachedDevice(lower), lower);
  PDEVICE_OBJECT again = nullptr;
  ASSERT_EQ(IoCreateDevice(&upperDriver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &again), STATUS_SUCCESS);
  EXPECT_EQ(IoAttachDeviceToDeviceStack(again, lower), lower);
  IoDeleteDevice(again);  // without detaching first
  EXPECT_EQ(lower->AttachedDevice, nullptr);
  EXPECT_EQ(upperDriver.DeviceObject, upper);
  EXPECT_EQ(IoAttachDeviceToDeviceStack(upper, lower), lower);
}

TEST_F(IrpFlowTest, AttachingToADeletedDeviceGivesNoLowerDevice) {
  IoDetachDevice(lower);
  IoDeleteDevice(lower);
  PDEVICE_OBJECT another = nullptr;
  ASSERT_EQ(IoCreateDevice(&upperDriver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &another), STATUS_SUCCESS);
  EXPECT_EQ(IoAttachDeviceToDeviceStack(another, lower), nullptr);
}

TEST_F(IrpFlowTest, UserEventIsSetOnceTheTopLocationHasCompleted) {
  upperDispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    const NTSTATUS status = IoCallDriver(lower, irp);
    events.push_back(KeReadStateEvent(&done) ? "set" : "not set");
    return status;
  };
  lowerDispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    events.push_back(KeReadStateEvent(&done) ? "set" : "not set");
    return completeWith(irp, STATUS_SUCCESS);
  };
  PIRP irp = IoAllocateIrp(upper->StackSize, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  irp->UserEvent = &done;
  IoCallDriver(upper, irp);
  EXPECT_EQ(events, (std::vector<std::string>{"not set", "set"}));
  IoFreeIrp(irp);
}

TEST_F(IrpFlowTest, CompletingARequestTwiceStopsTheSystem) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  upperDispatch = [this](PDEVICE_OBJECT, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    IoCallDriver(lower, irp);
    return completeWith(irp, STATUS_SUCCESS);  // the lower driver has completed it already
  };
  lowerDispatch = [](PDEVICE_OBJECT, PIRP irp) { return completeWith(irp, STATUS_SUCCESS); };
  EXPECT_DEATH(
      {
        PIRP irp = IoAllocateIrp(upper->StackSize, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        IoCallDriver(upper, irp);
      },
      "completed twice");
}

TEST_F(IrpFlowTest, CallingBelowTheLastStackLocationStopsTheSystem) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  lowerDispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    return IoCallDriver(lower, irp);
  };
  upperDispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    return IoCallDriver(lower, irp);
  };
  EXPECT_DEATH(send(), "no stack location left");
}

TEST(DeviceObjectTest, NewDeviceHasAZeroedExtensionAndIsStillInitialising) {
  DRIVER_OBJECT driver{};
  WCHAR name[] = L"\\Device\\ZEROED0";
  UNICODE_STRING deviceName;
  RtlInitUnicodeString(&deviceName, name);
  PDEVICE_OBJECT device = nullptr;
  ASSERT_EQ(IoCreateDevice(&driver, 300, &deviceName, FILE_DEVICE_SMARTCARD, 0, TRUE, &device), STATUS_SUCCESS);
  const auto* bytes = static_cast<const UCHAR*>(device->DeviceExtension);
  EXPECT_TRUE(std::all_of(bytes, bytes + 300, [](UCHAR b) { return b == 0; }));
  EXPECT_TRUE(device->Flags & DO_DEVICE_INITIALIZING);
  EXPECT_EQ(device->DeviceType, FILE_DEVICE_SMARTCARD);
  EXPECT_EQ(device->StackSize, 1);
  EXPECT_EQ(driver.DeviceObject, device);

  PDEVICE_OBJECT twin = nullptr;
  EXPECT_EQ(IoCreateDevice(&driver, 0, &deviceName, FILE_DEVICE_SMARTCARD, 0, TRUE, &twin),
            STATUS_OBJECT_NAME_COLLISION);
  IoDeleteDevice(device);
  EXPECT_EQ(driver.DeviceObject, nullptr);
  // The name is free again once the device is deleted.
  EXPECT_EQ(IoCreateDevice(&driver, 0, &deviceName, FILE_DEVICE_SMARTCARD, 0, TRUE, &twin), STATUS_SUCCESS);
  keld::wdm::resetKernel();
}

}  // namespace
