#pragma once
// The classes FakePreviewServer.dll serves (its DllRegisterServer registers them all): Good and
// OtherGood, whose previews draw the files they are shown in a child window of the host. The
// files are two text lines in this order: "FILL RRGGBB" (the background), "MARK RRGGBB" (a block
// from 1/10 to 1/2 of the width and of the height); any further lines are ignored, any other file
// fails. DllCanUnloadNow answers S_OK once no object and no window of the server is left.
#include <windows.h>

namespace fakepreview {

enum Class : unsigned char { Good, OtherGood };

// The identifiers differ in their last byte only.
template <Class C>
inline constexpr CLSID kClsid = {
    0xcf935f4c, 0xad07, 0x4e5d, {0xa9, 0x04, 0xdb, 0x42, 0xc3, 0x0b, 0x6b, 0x90 + C}};

} // namespace fakepreview
