// refupdate_child.exe: one reference update in a process of its own, for the tests that run
// updates in two processes at once or kill a process in the middle of one. Updates FILE with the
// text-file plug-in double after the moves OLD NEW ..., prints the paths the plug-in opened and
// the result, and exits 0 on success.
// Usage: refupdate_child FILE [OLD NEW]...
#include "foundation/Module.h"
#include "refupdate/TextRefPlugin.h"
#include <cstdio>
#include <objbase.h>

using namespace ffmtest::textref;

int wmain(int argc, wchar_t** argv) {
    if (argc < 2 || argc % 2 != 0) {
        std::fprintf(stderr, "usage: refupdate_child FILE [OLD NEW]...\n");
        return 2;
    }
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    ffm::SetModuleHandle(GetModuleHandleW(nullptr)); // the placeholder documents are in this executable
    std::vector<MoveRef> moves;
    for (int i = 2; i + 1 < argc; i += 2)
        moves.push_back({argv[i], argv[i + 1]});
    ffm::Lst<MoveRef*> list;
    for (MoveRef& m : moves)
        list.AddTail(&m);

    Script script;
    HRESULT hr;
    {
        ffm::ComPtr<ITovFileFormat> format(new Format(script));
        hr = ghUpdateXRefPaths(argv[1], nullptr, nullptr, nullptr, list, ffm::kKeepLastWriteTime,
                               format.get());
    }
    for (const auto& path : script.opened)
        std::printf("opened %ls\n", path.c_str());
    std::printf("result 0x%08lX\n", static_cast<unsigned long>(hr));
    std::fflush(stdout);
    CoUninitialize();
    return SUCCEEDED(hr) ? 0 : 1;
}
