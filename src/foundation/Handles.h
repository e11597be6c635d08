#pragma once
// The owners are public (plug-ins and hosts use them too); the library's sources include them
// from here as well.
#include <FileFmtMgr/Handles.h>
