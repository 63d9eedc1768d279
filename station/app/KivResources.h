// Pictures embedded in the program (see resources/station.cmake).
#pragma once
#include <wx/bitmap.h>
#include <wx/iconbndl.h>
#include <wx/string.h>

// The bitmap resource of that name; an invalid bitmap when there is none.
wxBitmap LoadBitmapResource(const wxString& name);
// The icon resource of that name, with its larger variant ("<name>48") when there is one.
wxIconBundle LoadIconResource(const wxString& name);
