#include "KivResources.h"

#include "Resources.h"

#include <wx/image.h>
#include <wx/mstream.h>

namespace {

wxImage LoadImage(const wchar_t* type, const wxString& name) {
    const unsigned char* data = nullptr;
    size_t size = 0;
    if (!plat::FindResource(type, name.ToStdWstring(), &data, &size) || size == 0)
        return wxImage();
    if (!wxImage::FindHandler(wxBITMAP_TYPE_PNG))
        wxImage::AddHandler(new wxPNGHandler);
    wxMemoryInputStream stream(data, size);
    return wxImage(stream, wxBITMAP_TYPE_PNG);
}

}  // namespace

wxBitmap LoadBitmapResource(const wxString& name) {
    wxImage image = LoadImage(L"BITMAP", name);
    return image.IsOk() ? wxBitmap(image) : wxBitmap();
}

wxIconBundle LoadIconResource(const wxString& name) {
    wxIconBundle bundle;
    for (const wxString& variant : {name, name + "48"}) {
        wxImage image = LoadImage(L"ICON", variant);
        if (!image.IsOk())
            continue;
        wxIcon icon;
        icon.CopyFromBitmap(wxBitmap(image));
        bundle.AddIcon(icon);
    }
    return bundle;
}
