// A device setup that tests fill: the members of its sets, failures, and notices handed over
// through a pipe that the station's event loop watches.
#pragma once
#include "DeviceSetup.h"

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

class FakeDeviceSetup : public plat::DeviceSetup {
public:
    struct Member {
        std::wstring instanceId;
        std::wstring location;
        int locationFailures = 0;  // reads that fail before one succeeds (-1: every read)
        bool idFails = false;
    };

    std::vector<Member> present;   // attached now
    std::vector<Member> departed;  // known, not attached
    uint32_t openFailure = 0;      // not 0: every set fails to open with this code
    uint32_t registrationFailure = 0;
    std::vector<uint32_t> openedFlags;  // the flags of every set asked for
    int locationReads = 0;

    ~FakeDeviceSetup() override { ClosePipe(); }

    std::unique_ptr<plat::DeviceInfoSet> GetClassDevs(const std::wstring& enumerator, uint32_t flags,
                                                      uint32_t* code) override {
        openedFlags.push_back(flags);
        if (openFailure) {
            *code = openFailure;
            return nullptr;
        }
        std::vector<Member*> members;
        if (enumerator == L"USB") {
            for (auto& m : present) members.push_back(&m);
            if (!(flags & plat::DIGCF_PRESENT))
                for (auto& m : departed) members.push_back(&m);
        }
        return std::make_unique<Set>(*this, std::move(members));
    }

    std::unique_ptr<plat::DeviceNotification> RegisterDeviceNotification(const plat::DeviceBroadcastInterface& filter,
                                                                          plat::DeviceChangeHandler handler,
                                                                          uint32_t* code) override {
        registeredFilter = filter;
        if (registrationFailure) {
            *code = registrationFailure;
            return nullptr;
        }
        ClosePipe();
        if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) return nullptr;
        return std::make_unique<Notification>(*this, std::move(handler));
    }

    // Queues a notice and wakes the watch; the station's event loop hands it over.
    void Notify(uint32_t eventCode, uint32_t deviceType, const std::wstring& name) {
        queued.push_back({eventCode, deviceType, name});
        const char byte = 1;
        [[maybe_unused]] ssize_t n = write(fds[1], &byte, 1);
    }

    plat::DeviceBroadcastInterface registeredFilter;

private:
    struct Queued {
        uint32_t eventCode;
        uint32_t deviceType;
        std::wstring name;
    };

    class Set : public plat::DeviceInfoSet {
    public:
        Set(FakeDeviceSetup& owner, std::vector<Member*> members) : owner_(owner), members_(std::move(members)) {}
        bool EnumDeviceInfo(uint32_t index, plat::DeviceInfoData* data, uint32_t* code) override {
            if (index >= members_.size()) {
                *code = 259;
                return false;
            }
            data->index = index;
            return true;
        }
        bool GetDeviceInstanceId(const plat::DeviceInfoData& data, std::wstring* id, uint32_t* code) override {
            if (members_[data.index]->idFails) {
                *code = 122;
                return false;
            }
            *id = members_[data.index]->instanceId;
            return true;
        }
        bool GetLocationInformation(const plat::DeviceInfoData& data, std::wstring* text, uint32_t* code) override {
            ++owner_.locationReads;
            Member& m = *members_[data.index];
            if (m.locationFailures != 0) {
                if (m.locationFailures > 0) --m.locationFailures;
                *code = 13;
                return false;
            }
            *text = m.location;
            return true;
        }

    private:
        FakeDeviceSetup& owner_;
        std::vector<Member*> members_;
    };

    class Notification : public plat::DeviceNotification {
    public:
        Notification(FakeDeviceSetup& owner, plat::DeviceChangeHandler handler)
            : owner_(owner), handler_(std::move(handler)) {}
        int Descriptor() const override { return owner_.fds[0]; }
        void Dispatch() override {
            char bytes[64];
            while (read(owner_.fds[0], bytes, sizeof bytes) > 0) {
            }
            while (!owner_.queued.empty()) {
                Queued q = owner_.queued.front();
                owner_.queued.pop_front();
                plat::DeviceBroadcastInterface notice;
                notice.deviceType = q.deviceType;
                notice.classGuid = plat::GUID_DEVINTERFACE_USB_DEVICE;
                notice.name = q.name;
                handler_(q.eventCode, &notice);
            }
        }

    private:
        FakeDeviceSetup& owner_;
        plat::DeviceChangeHandler handler_;
    };

    void ClosePipe() {
        for (int& fd : fds) {
            if (fd >= 0) close(fd);
            fd = -1;
        }
    }

    int fds[2] = {-1, -1};
    std::deque<Queued> queued;
};
