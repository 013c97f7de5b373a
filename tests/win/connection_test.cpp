// Opening and closing connections to virtual keys: what OLVEX_Connect opens,
// how it names and shares a key's lock, what it gives back, and that every
// refusal leaves nothing open.
#include <windows.h>
#include <aclapi.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <thread>

#include "olvexlib.h"
#include "support/dll_platform.h"
#include "support/iat_hook.h"
#include "support/keys.h"

using testsupport::Api;
using testsupport::CallLog;
using testsupport::PlatformShim;
using testsupport::RecordOf;

namespace {

class Connections : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(shim_.installed());
        key_ = testsupport::PlugKey(testsupport::FreshSerial("conn"));
        ASSERT_TRUE(key_);
        path_ = keysim::DevicePath(key_.get());
        index_ = testsupport::IndexOf(path_);
        ASSERT_GE(index_, 0);
        PlatformShim::Reset();
    }
    void TearDown() override {
        for (OLVEX_HANDLE c : open_) OLVEX_Disconnect(c);
    }
    OLVEX_HANDLE Connect() {
        OLVEX_HANDLE c = nullptr;
        EXPECT_EQ(testsupport::ConnectWhenFree(&c, nullptr, index_), OLVEX_OK);
        if (c) open_.push_back(c);
        return c;
    }
    void Forget(OLVEX_HANDLE c) {
        for (size_t i = 0; i < open_.size(); ++i)
            if (open_[i] == c) open_.erase(open_.begin() + long(i));
    }

    PlatformShim shim_;
    testsupport::KeyPtr key_;
    std::string path_;
    int index_ = -1;
    std::vector<OLVEX_HANDLE> open_;
};

const OLVEX_HANDLE kUnset = reinterpret_cast<OLVEX_HANDLE>(uintptr_t(0x5EED));

}  // namespace

TEST_F(Connections, IndexOutsideTableOpensNothing) {
    int count = 0;
    ASSERT_EQ(OLVEX_EnumDEV(&count), OLVEX_OK);
    PlatformShim::Reset();
    const long handles = testsupport::IdleHandleCount(key_.get());
    for (int index : {-1, count, count + 1, 10, INT_MIN, INT_MAX}) {
        OLVEX_HANDLE c = kUnset;
        EXPECT_EQ(OLVEX_Connect(&c, nullptr, index), OLVEX_FAIL) << index;
        EXPECT_EQ(c, kUnset) << index;
    }
    EXPECT_EQ(OLVEX_Connect(nullptr, nullptr, index_), OLVEX_FAIL);
    const CallLog log = PlatformShim::Log();
    EXPECT_EQ(log.Calls(Api::CreateFileA), 0);
    EXPECT_EQ(log.Calls(Api::OpenMutexA) + log.Calls(Api::CreateMutexA), 0);
    EXPECT_EQ(log.Calls(Api::HeapAlloc), 0);
    EXPECT_EQ(testsupport::IdleHandleCount(key_.get(), handles), handles);
}

TEST_F(Connections, EmptiedTableRefusesFormerIndex) {
    key_.reset();
    int count = -1;
    ASSERT_EQ(OLVEX_EnumDEV(&count), OLVEX_OK);
    ASSERT_EQ(count, 0);
    PlatformShim::Reset();
    OLVEX_HANDLE c = kUnset;
    EXPECT_EQ(OLVEX_Connect(&c, nullptr, 0), OLVEX_FAIL);
    EXPECT_EQ(c, kUnset);
    EXPECT_EQ(PlatformShim::Log().Calls(Api::CreateFileA), 0);
}

TEST_F(Connections, UnpluggedKeyGivesOpenError) {
    key_.reset();  // listed by the last enumeration, gone now
    const long handles = testsupport::CountProcessHandles();
    OLVEX_HANDLE c = kUnset;
    char path[300];
    std::memset(path, 'X', sizeof path);
    EXPECT_EQ(OLVEX_Connect(&c, path, index_), OLVEX_ERR_OPEN);
    EXPECT_EQ(c, kUnset);
    EXPECT_EQ(path[0], 'X');
    const CallLog log = PlatformShim::Log();
    EXPECT_EQ(log.Calls(Api::CreateFileA), 1);
    EXPECT_EQ(log.Calls(Api::OpenMutexA) + log.Calls(Api::CreateMutexA), 0);
    EXPECT_EQ(log.HandlesOutstanding(), 0);
    EXPECT_EQ(log.HeapOutstanding(), 0);
    EXPECT_EQ(testsupport::CountProcessHandles(), handles);
}

TEST_F(Connections, OpensKeyForSharedSynchronousReadWrite) {
    ASSERT_NE(Connect(), nullptr);
    const CallLog log = PlatformShim::Log();
    EXPECT_EQ(log.lastCreateFile.access, DWORD(GENERIC_READ | GENERIC_WRITE));
    EXPECT_EQ(log.lastCreateFile.share, DWORD(FILE_SHARE_READ | FILE_SHARE_WRITE));
    EXPECT_EQ(log.lastCreateFile.disposition, DWORD(OPEN_EXISTING));
    EXPECT_EQ(log.lastCreateFile.flags, 0u);
    EXPECT_FALSE(log.lastCreateFile.security);
    EXPECT_FALSE(log.lastCreateFile.templateFile);
}

TEST_F(Connections, PathIsCopiedWithoutTerminator) {
    char zeroed[300] = {};
    OLVEX_HANDLE a = nullptr;
    ASSERT_EQ(OLVEX_Connect(&a, zeroed, index_), OLVEX_OK);
    open_.push_back(a);
    EXPECT_STREQ(zeroed, path_.c_str());

    char filled[300];
    std::memset(filled, 'X', sizeof filled);
    OLVEX_HANDLE b = nullptr;
    ASSERT_EQ(OLVEX_Connect(&b, filled, index_), OLVEX_OK);
    open_.push_back(b);
    EXPECT_EQ(std::string(filled, path_.size()), path_);
    EXPECT_EQ(filled[path_.size()], 'X');

    OLVEX_HANDLE c = nullptr;
    EXPECT_EQ(OLVEX_Connect(&c, nullptr, index_), OLVEX_OK);
    open_.push_back(c);
}

TEST_F(Connections, FirstConnectionCreatesOpenInheritableLock) {
    OLVEX_HANDLE c = Connect();
    ASSERT_NE(c, nullptr);
    CallLog log = PlatformShim::Log();
    const std::string name = testsupport::LockName(path_);
    ASSERT_EQ(name.size(), path_.size());
    EXPECT_EQ(log.lastOpenMutex.name, name);
    EXPECT_EQ(log.lastOpenMutex.access, DWORD(MUTEX_ALL_ACCESS));
    EXPECT_FALSE(log.lastOpenMutex.inherit);
    ASSERT_EQ(log.Succeeded(Api::CreateMutexA), 1);
    EXPECT_EQ(log.lastCreateMutex.name, name);
    EXPECT_FALSE(log.lastCreateMutex.initialOwner);
    EXPECT_TRUE(log.lastCreateMutex.inherit);
    EXPECT_TRUE(log.lastCreateMutex.daclPresent);
    EXPECT_TRUE(log.lastCreateMutex.daclNull);

    const auto *record = RecordOf(c);
    EXPECT_EQ(record->tag, 0x44);
    DWORD flags = 0;
    ASSERT_TRUE(GetHandleInformation(record->lock, &flags));
    EXPECT_TRUE(flags & HANDLE_FLAG_INHERIT);
    ASSERT_TRUE(GetHandleInformation(record->device, &flags));
    EXPECT_FALSE(flags & HANDLE_FLAG_INHERIT);

    // A mutex made without attributes has no DACL at all, so a null one shows
    // the open access list really reached the kernel object.
    PACL dacl = reinterpret_cast<PACL>(1);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(GetSecurityInfo(record->lock, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                              nullptr, &descriptor),
              DWORD(ERROR_SUCCESS));
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(descriptor, &control, &revision));
    EXPECT_TRUE(control & SE_DACL_PRESENT);
    EXPECT_EQ(dacl, nullptr);
    LocalFree(descriptor);
}

TEST_F(Connections, LaterConnectionOpensTheSameLockWithoutInheritance) {
    OLVEX_HANDLE first = Connect();
    ASSERT_NE(first, nullptr);
    PlatformShim::Reset();
    OLVEX_HANDLE second = Connect();
    ASSERT_NE(second, nullptr);
    const CallLog log = PlatformShim::Log();
    EXPECT_EQ(log.Succeeded(Api::OpenMutexA), 1);
    EXPECT_EQ(log.Calls(Api::CreateMutexA), 0);
    DWORD flags = HANDLE_FLAG_INHERIT;
    ASSERT_TRUE(GetHandleInformation(RecordOf(second)->lock, &flags));
    EXPECT_FALSE(flags & HANDLE_FLAG_INHERIT);
    EXPECT_NE(RecordOf(second)->lock, RecordOf(first)->lock);
    EXPECT_NE(RecordOf(second)->device, RecordOf(first)->device);
}

// Holding the lock by its derived name from the test holds back the DLL's
// exchanges on every connection to that key, and only on that key.
TEST_F(Connections, ConnectionsToOneKeyShareTheNamedLock) {
    OLVEX_HANDLE a = Connect();
    OLVEX_HANDLE b = Connect();
    ASSERT_TRUE(a && b);
    auto other = testsupport::PlugKey(testsupport::FreshSerial("other"));
    ASSERT_TRUE(other);
    OLVEX_HANDLE elsewhere = testsupport::ConnectTo(keysim::DevicePath(other.get()));
    ASSERT_NE(elsewhere, nullptr);
    open_.push_back(elsewhere);

    HANDLE lock = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, testsupport::LockName(path_).c_str());
    ASSERT_NE(lock, nullptr) << "no mutex under the derived name";
    ASSERT_EQ(WaitForSingleObject(lock, 0), WAIT_OBJECT_0);

    testsupport::Reply ra, rb;
    std::thread ta([&] { ra = testsupport::Exchange(a, {1, 2, 3}); });
    std::thread tb([&] { rb = testsupport::Exchange(b, {4, 5}); });
    // Another key's lock is another mutex: its exchange goes through now.
    EXPECT_EQ(testsupport::Exchange(elsewhere, {9}).result, 0x9000);
    Sleep(300);
    EXPECT_EQ(keysim::GetStats(key_.get()).requests, 0u) << "an exchange ran while the lock was held";
    ASSERT_TRUE(ReleaseMutex(lock));
    ta.join();
    tb.join();
    CloseHandle(lock);
    EXPECT_EQ(ra.result, 0x9000);
    EXPECT_EQ(ra.body, (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(rb.result, 0x9000);
    EXPECT_EQ(rb.body, (std::vector<uint8_t>{4, 5}));
    const keysim::Stats stats = keysim::GetStats(key_.get());
    EXPECT_EQ(stats.requests, 2u);
    EXPECT_EQ(stats.interleaved, 0u);
}

TEST_F(Connections, LockCreatedByAnotherProgramIsOpenedNotReplaced) {
    // As a peer program would make it: no attributes.
    HANDLE peer = CreateMutexA(nullptr, FALSE, testsupport::LockName(path_).c_str());
    ASSERT_NE(peer, nullptr);
    OLVEX_HANDLE c = Connect();
    ASSERT_NE(c, nullptr);
    const CallLog log = PlatformShim::Log();
    EXPECT_EQ(log.Succeeded(Api::OpenMutexA), 1);
    EXPECT_EQ(log.Calls(Api::CreateMutexA), 0);
    // The peer's hold keeps the DLL out.
    ASSERT_EQ(WaitForSingleObject(peer, 0), WAIT_OBJECT_0);
    testsupport::Reply r;
    std::thread t([&] { r = testsupport::Exchange(c, {7}); });
    Sleep(200);
    EXPECT_EQ(keysim::GetStats(key_.get()).requests, 0u);
    ReleaseMutex(peer);
    t.join();
    EXPECT_EQ(r.result, 0x9000);
    CloseHandle(peer);
}

// Only a missing lock is created; any other failure to open it is final.
TEST_F(Connections, LockThatCannotBeOpenedRefusesAndClosesKey) {
    const long handles = testsupport::IdleHandleCount(key_.get());
    PlatformShim::Fail(Api::OpenMutexA, 1, ERROR_ACCESS_DENIED);
    OLVEX_HANDLE c = kUnset;
    EXPECT_EQ(OLVEX_Connect(&c, nullptr, index_), OLVEX_FAIL);
    EXPECT_EQ(c, kUnset);
    CallLog log = PlatformShim::Log();
    EXPECT_EQ(log.Calls(Api::CreateMutexA), 0);
    EXPECT_EQ(log.HandlesOutstanding(), 0);

    // A different kind of object under the lock's name.
    HANDLE squatter = CreateEventA(nullptr, TRUE, FALSE, testsupport::LockName(path_).c_str());
    ASSERT_NE(squatter, nullptr);
    PlatformShim::Reset();
    EXPECT_EQ(OLVEX_Connect(&c, nullptr, index_), OLVEX_FAIL);
    EXPECT_EQ(c, kUnset);
    log = PlatformShim::Log();
    EXPECT_EQ(log.Calls(Api::CreateMutexA), 0);
    EXPECT_EQ(log.HandlesOutstanding(), 0);
    CloseHandle(squatter);

    PlatformShim::Reset();
    PlatformShim::Fail(Api::CreateMutexA, 1, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(OLVEX_Connect(&c, nullptr, index_), OLVEX_FAIL);
    EXPECT_EQ(c, kUnset);
    log = PlatformShim::Log();
    EXPECT_EQ(log.HandlesOutstanding(), 0);
    EXPECT_EQ(log.HeapOutstanding(), 0);
    EXPECT_EQ(testsupport::IdleHandleCount(key_.get(), handles), handles);
}

TEST_F(Connections, RecordAllocationFailureClosesWhatItOpened) {
    const long handles = testsupport::IdleHandleCount(key_.get());
    PlatformShim::Fail(Api::HeapAlloc, 1, ERROR_NOT_ENOUGH_MEMORY);
    OLVEX_HANDLE c = kUnset;
    char path[300];
    std::memset(path, 'X', sizeof path);
    EXPECT_EQ(OLVEX_Connect(&c, path, index_), OLVEX_FAIL);
    EXPECT_EQ(c, kUnset);
    EXPECT_EQ(path[0], 'X');
    const CallLog log = PlatformShim::Log();
    ASSERT_EQ(log.Calls(Api::HeapAlloc), 1);
    EXPECT_EQ(log.created.size(), 2u);
    EXPECT_EQ(log.HandlesOutstanding(), 0);
    EXPECT_EQ(testsupport::IdleHandleCount(key_.get(), handles), handles);
    // The lock it created went with it: nothing is left under the name.
    EXPECT_EQ(OpenMutexA(SYNCHRONIZE, FALSE, testsupport::LockName(path_).c_str()), nullptr);
}

TEST_F(Connections, DisconnectClosesLockThenKeyAndClearsTag) {
    OLVEX_HANDLE c = Connect();
    ASSERT_NE(c, nullptr);
    const HANDLE device = RecordOf(c)->device;
    const HANDLE lock = RecordOf(c)->lock;
    PlatformShim::Reset();
    Forget(c);
    EXPECT_EQ(OLVEX_Disconnect(c), OLVEX_OK);
    const CallLog log = PlatformShim::Log();
    EXPECT_EQ(log.closed, (std::vector<HANDLE>{lock, device}));
    EXPECT_EQ(log.Succeeded(Api::CloseHandle), 2);
    EXPECT_EQ(log.Calls(Api::HeapFree), 1);
    EXPECT_EQ(log.lastFreedFirstByte, 0);
    // The last connection gone, so is the lock.
    EXPECT_EQ(OpenMutexA(SYNCHRONIZE, FALSE, testsupport::LockName(path_).c_str()), nullptr);
}

TEST_F(Connections, DisconnectRefusesWhatIsNotAnOpenConnection) {
    EXPECT_EQ(OLVEX_Disconnect(nullptr), OLVEX_OK);
    OLVEX_HANDLE c = Connect();
    ASSERT_NE(c, nullptr);
    const auto *record = RecordOf(c);
    testsupport::ConnectionRecord forged[] = {
        {0x43, record->device, record->lock},
        {0x44, nullptr, record->lock},
        {0x44, record->device, nullptr},
        {0x00, record->device, record->lock},
    };
    PlatformShim::Reset();
    for (auto &f : forged) EXPECT_EQ(OLVEX_Disconnect(reinterpret_cast<OLVEX_HANDLE>(&f)), OLVEX_FAIL);
    const CallLog log = PlatformShim::Log();
    EXPECT_EQ(log.Calls(Api::CloseHandle), 0);
    EXPECT_EQ(log.Calls(Api::HeapFree), 0);
    // The real connection still works after the forgeries named its handles.
    EXPECT_EQ(testsupport::Exchange(c, {1}).result, 0x9000);
}
