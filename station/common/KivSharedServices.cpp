#include "KivSharedServices.h"

#include "AdbCommander.h"
#include "InternetAgent.h"

#include <new>

namespace {

RYL::CAdbCommander* sharedAdbCommander = nullptr;
RYL::CInternetAgent* sharedInternetAgent = nullptr;

}  // namespace

RYL::CAdbCommander* GetSharedAdbCommander() {
    if (sharedAdbCommander)
        return sharedAdbCommander;
    auto* commander = new (std::nothrow) RYL::CAdbCommander(nullptr, nullptr);  // nullptr: the desktop window
    if (!commander)
        return nullptr;
    if (!commander->Start(true)) {
        delete commander;
        return nullptr;
    }
    sharedAdbCommander = commander;
    return sharedAdbCommander;
}

RYL::CInternetAgent* GetSharedInternetAgent() {
    if (!sharedInternetAgent)
        sharedInternetAgent = new (std::nothrow) RYL::CInternetAgent(nullptr, nullptr);
    return sharedInternetAgent;
}

void DeleteSharedAdbCommander() {
    delete sharedAdbCommander;
    sharedAdbCommander = nullptr;
}

void DeleteSharedInternetAgent() {
    delete sharedInternetAgent;
    sharedInternetAgent = nullptr;
}
