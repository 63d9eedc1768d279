#include "KivModels.h"

#include <string>

const wchar_t* const ModelChoices[kModelCount] = {
    L"ZT-310",  L"ZT-320",  L"ZT-350",  L"ZT-400",  L"ZT-410",  L"ZT-500",
    L"ZT-500L", L"ZT-510",  L"ZT-550",  L"ZT-600",  L"ZT-600L", L"ZT-610",
    L"ZP-100",  L"ZP-110",  L"ZP-200",  L"ZP-210",  L"ZP-220",  L"ZP-220T",
    L"ZP-300",  L"ZP-330",  L"ZP-400",  L"ZP-450",  L"ZP-500",  L"ZP-520",
    L"ZP-600",  L"ZX1",     L"ZX2",     L"ZX2T",    L"ZX3",     L"ZX5",
    L"ZX7",     L"ZX8",     L"ZX7L",    L"ZX9",     L"ZN-5010", L"ZN-5020",
    L"ZN-5030", L"ZN-5050", L"ZN-5060", L"ZN-6010", L"ZN-6020", L"ZN-6050",
    L"ZN-7010", L"ZN-7020", L"ZN-7050", L"ZN-8010", L"ZR11",    L"ZR12",
    L"ZR15",    L"ZR21",    L"ZR22",    L"ZR25",    L"ZR31",    L"ZR32",
    L"ZR32L",   L"ZR35",    L"ZQ-700",  L"ZQ-700T", L"ZQ-710",  L"ZQ-720",
    L"ZQ-750",  L"ZQ-800",  L"ZQ-810",  L"ZQ-850",  L"ZM1",     L"ZM2",
    L"ZM3",     L"ZM4",     L"ZM5",     L"ZM6",     L"ZM7",     L"ZM8",
    L"ZM9",     L"ZM10",
};

bool ModelListHolds(const wchar_t* list, const wchar_t* model) {
    if (!list || !model || !*model)
        return false;
    const std::wstring needle = L"," + std::wstring(model) + L",";
    return std::wstring(list).find(needle) != std::wstring::npos;
}

const wchar_t SideloadModels[] = L",ZK170CG,";
const wchar_t FullFillModels[] = L",ZK500KL,ZK500KG,ZK501KL,";
const wchar_t FormatUserdataModels[] = L",";
