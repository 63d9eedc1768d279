// Tests reach only loopback: the connectivity probes of the internet agent are redirected to a
// local listener.
#pragma once
#include <cstdint>
#include <iterator>
#include <string>

#include "InternetAgent.h"
#include "Internet.h"

// Redirects the probe address ProbeUrls[index] ("http://host[:port]/...") to toPort.
inline void RedirectProbe(int index, uint16_t toPort) {
    std::wstring rest = RYL::CInternetAgent::ProbeUrls[index];
    rest = rest.substr(rest.find(L"://") + 3);
    rest = rest.substr(0, rest.find(L'/'));
    const size_t colon = rest.find(L':');
    const uint16_t port =
        colon == std::wstring::npos ? 80 : static_cast<uint16_t>(std::stoi(rest.substr(colon + 1)));
    plat::RedirectHostForTesting(rest.substr(0, colon), port, toPort);
}

// Redirects every probe address to toPort.
inline void RedirectProbesTo(uint16_t toPort) {
    for (int i = 0; i < int(std::size(RYL::CInternetAgent::ProbeUrls)); ++i)
        RedirectProbe(i, toPort);
}
