// fmtmgr: the file-format manager for a person at a command line. Lists the plug-ins and the
// extensions they serve, resolves a file's format, shows its references with their
// configuration pairs, its size and date, its configurations, attributes and data-card variables
// (read and written), rewrites its references after files were moved, and draws its preview
// into a PNG image.
// Exit code 0 on success, 1 when an operation failed (code and meaning on stderr), 2 for a
// command line that cannot be understood.
#include "Cli.h"

#include <FileFmtMgr/FileFormatMgr.h>
#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <objbase.h>

namespace {

class StdStreams final : public fmtmgr::Streams {
  public:
    void Out(const std::string& bytes) override { Write(stdout, bytes); }
    void Err(const std::string& bytes) override { Write(stderr, bytes); }

  private:
    static void Write(FILE* stream, const std::string& bytes) {
        std::fwrite(bytes.data(), 1, bytes.size(), stream);
        std::fflush(stream);
    }
};

} // namespace

int wmain(int argc, wchar_t** argv) {
    SetConsoleOutputCP(CP_UTF8);
    // Lines end in LF alone, the same on every platform a script runs on.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i)
        args.push_back(fmtmgr::Utf8(argv[i]));

    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    StdStreams streams;
    const int rc = fmtmgr::Run(args, streams);
    // The cached plug-in objects go while their DLLs are still loaded.
    gpoGetFileFormatMgr()->mvUninitialize();
    CoUninitialize();
    return rc;
}
