#pragma once
// Resource numbers of the library's user interface, shared by the resource script and the code
// (kept free of C++ so the resource compiler can read it).
#define IDD_EXCLUDE_TYPES 3000
#define IDC_EXCLUDE_MESSAGE 3001
#define IDC_EXCLUDE_LIST 3002
#define IDC_EXCLUDE_LIST_LABEL 3003
// Bitmap of the resource library PreviewView.dll shown as the dialog's header picture.
#define IDB_EXCLUDE_HEADER 4027
