// What Start dispatches for a model: the download worker's flow, the fastboot executable and the
// factory variant of the sideload model.
#pragma once
#include <wx/string.h>

#include <functional>

class KivDevice;
class KivDeviceWorker;

enum class KivDownloadFlow { Script, Recovery, Fastboot };

// ScriptModels first, then RecoveryModels (or SideloadModels without wipe), else fastboot.
KivDownloadFlow ChooseDownloadFlow(const wxString& model, bool wipe);
// "/Google/fastboot1" for Fastboot1Models, "/Google/fastboot2" for RawImageModels, else
// "/Google/fastboot3".
wxString FastbootSuffix(const wxString& model);
// The program's directory followed by the suffix.
wxString FastbootPathFor(const wxString& model);
// The code of the one SideloadModels entry.
wxString SideloadModelCode();
// For an image path without "ota", a model that contains the sideload code becomes that code
// followed by "FAC"; any other model stays.
wxString ApplyFactoryModelVariant(const wxString& model, const wxString& imagePath);

// An image path that Start takes: no control character (a line break in the package's name would
// become a line of its own in the recovery command file).
bool IsAcceptedImagePath(const wxString& imagePath);
extern const wchar_t kImagePathRefused[];  // the message of a refused path

// The download worker of the flow for the record, made but not started; null when it cannot be
// made.
KivDeviceWorker* MakeDownloadWorker(KivDownloadFlow flow, KivDevice* device, const wxString& imagePath,
                                    const wxString& fastbootPath);

using KivDownloadWorkerFactory = std::function<KivDeviceWorker*(KivDownloadFlow, KivDevice*, const wxString&,
                                                                const wxString&)>;
// Tests: MakeDownloadWorker asks the factory instead (null: the real workers again).
void SetDownloadWorkerFactoryForTesting(KivDownloadWorkerFactory factory);
