#include <FileFmtMgr/ConfigData.h>

ConfigDataLst::~ConfigDataLst() = default;
