#include "KivDispatch.h"

#include "KivFlashWorkers.h"
#include "KivModels.h"
#include "KivThreadDownloadImage.h"
#include "ProcessHelpers.h"

#include <mutex>

namespace {

std::mutex factoryMutex;
KivDownloadWorkerFactory& FactoryForTesting() {
    static KivDownloadWorkerFactory factory;
    return factory;
}

bool Holds(const wchar_t* list, const wxString& model) { return ModelListHolds(list, model.wc_str()); }

}  // namespace

KivDownloadFlow ChooseDownloadFlow(const wxString& model, bool wipe) {
    if (Holds(ScriptModels, model))
        return KivDownloadFlow::Script;
    if (Holds(RecoveryModels, model) || (Holds(SideloadModels, model) && !wipe))
        return KivDownloadFlow::Recovery;
    return KivDownloadFlow::Fastboot;
}

wxString FastbootSuffix(const wxString& model) {
    if (Holds(Fastboot1Models, model))
        return "/Google/fastboot1";
    if (Holds(RawImageModels, model))
        return "/Google/fastboot2";
    return "/Google/fastboot3";
}

wxString FastbootPathFor(const wxString& model) {
    std::wstring dir;
    RYL::GetModuleDir(RYL::GetThisModule(), dir);
    return wxString::Format("%s%s", wxString(dir), FastbootSuffix(model));
}

wxString SideloadModelCode() {
    return wxString(SideloadModels).AfterFirst(',').BeforeFirst(',');
}

wxString ApplyFactoryModelVariant(const wxString& model, const wxString& imagePath) {
    const wxString code = SideloadModelCode();
    if (code.empty() || imagePath.Contains("ota") || !model.Contains(code))
        return model;
    return code + "FAC";
}

void SetDownloadWorkerFactoryForTesting(KivDownloadWorkerFactory factory) {
    std::lock_guard<std::mutex> guard(factoryMutex);
    FactoryForTesting() = std::move(factory);
}

const wchar_t kImagePathRefused[] =
    L"The image file path holds a line break or another control character. Please rename the file.";

bool IsAcceptedImagePath(const wxString& imagePath) {
    for (wxUniChar c : imagePath) {
        const wxUint32 value = c.GetValue();
        if (value < 0x20 || value == 0x7F || (value >= 0x80 && value < 0xA0) || value == 0x2028 || value == 0x2029)
            return false;
    }
    return true;
}

KivDeviceWorker* MakeDownloadWorker(KivDownloadFlow flow, KivDevice* device, const wxString& imagePath,
                                    const wxString& fastbootPath) {
    {
        std::lock_guard<std::mutex> guard(factoryMutex);
        if (FactoryForTesting())
            return FactoryForTesting()(flow, device, imagePath, fastbootPath);
    }
    switch (flow) {
    case KivDownloadFlow::Script:
        return new KivThreadDownloadImageForScript(device, imagePath, fastbootPath);
    case KivDownloadFlow::Fastboot:
        return new KivThreadDownloadImageForIntel(device, imagePath, fastbootPath);
    case KivDownloadFlow::Recovery:
        return new KivThreadDownloadImage(device, imagePath, fastbootPath);
    }
    return nullptr;
}
