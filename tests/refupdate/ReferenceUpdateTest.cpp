// The whole reference update of one file on real files, through a registered plug-in double
// that can fail at any step: what the file looks like afterwards on every road.
#include "manager/ReferenceUpdate.h"
#include "refupdate/UpdateTestKit.h"
#include "support/FakePlugins.h"

#include <gtest/gtest.h>

using namespace ffmtest;
using textref::Step;

namespace {

class ReferenceUpdate : public SandboxedTest {
  protected:
    void SetUp() override {
        store = new TestStore;
        store->AddRef();
        store->AddPlugin(L"TextRef", clsid);
        for (const wchar_t* ext : {L".txt", L".iam", L".ipt", L".idw", L".dft", L".dwg"})
            store->AddExtension(ext, L"TextRef", 0x9);
        store->AddExtension(L".nor", L"TextRef", 0x8); // no reference update
        ASSERT_EQ(S_OK, goFileFormatMgr.mhSetRegAccess(store));
        list.AddTail(&move);
    }
    void TearDown() override {
        goFileFormatMgr.mvUninitialize();
        store->Release();
    }

    // A file referring to the moved gear and to something that stays.
    std::string Original() const {
        return textref::Document({vault.Path() + L"\\old\\gear.ipt", L"C:\\stays\\shaft.ipt"});
    }
    std::wstring Document(const std::wstring& name) { return vault.WriteFile(name, Original()); }
    std::string Updated() const {
        return textref::Document({vault.Path() + L"\\new\\gear-2.ipt", L"C:\\stays\\shaft.ipt"});
    }
    HRESULT Update(const std::wstring& file, unsigned long options = 0, ITovFileFormat* format = nullptr) {
        return ghUpdateXRefPaths(file.c_str(), nullptr, nullptr, nullptr, list, options, format);
    }

    TempFolder vault; // made before the temporary folder moves
    PrivateTemp temp;
    textref::Script script;
    const CLSID clsid = NewClsid();
    ClassRegistration plugin{
        clsid, [this]() -> IUnknown* { return static_cast<ITovFileFormat*>(new textref::Format(script)); }};
    TestStore* store = nullptr;
    MoveRef move{vault.Path() + L"\\old\\gear.ipt", vault.Path() + L"\\new\\gear-2.ipt"};
    ffm::Lst<MoveRef*> list; // built before any allocation can be made to fail
};

TEST_F(ReferenceUpdate, ReadOnlyFileIsWritableDuringTheRewriteAndKeepsItsAttributeAndEvenSecondTime) {
    for (const wchar_t* name : {L"direct.txt", L"copied.iam"}) {
        const std::wstring file = Document(name);
        SetLastWrite(file, 10, 15, 7, 640);
        SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);
        DWORD seenBySave = 0;
        script.beforeSave = [&](const std::wstring&) { seenBySave = GetFileAttributesW(file.c_str()); };

        EXPECT_EQ(S_OK, Update(file, ffm::kKeepLastWriteTime)) << name;
        EXPECT_EQ(Updated(), FileState::Of(file).bytes) << name;
        EXPECT_FALSE(seenBySave & FILE_ATTRIBUTE_READONLY) << name;
        EXPECT_EQ(DWORD(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE), GetFileAttributesW(file.c_str()))
            << name;
        const SYSTEMTIME w = LastWrite(file); // whole even seconds
        EXPECT_EQ((std::vector<int>{10, 15, 6, 0}),
                  (std::vector<int>{w.wHour, w.wMinute, w.wSecond, w.wMilliseconds}));
        EXPECT_EQ((std::vector<std::pair<long, long>>{{4711, 1}}), script.options);
        script.options.clear();
    }
    EXPECT_EQ(std::vector<std::wstring>{}, temp.Left());
}

// Every step failing in turn, with and without a working copy: the file keeps its bytes, its
// read-only attribute and its time, and nothing stays in the temporary folder except the empty
// folder of a copy that could not be made.
TEST_F(ReferenceUpdate, FileIsKeptByteForByteWithAttributesAndTimeWhenAnyStepFails) {
    enum class Trouble { Plugin, LockedFile, LockedForCopyBack, NoTempFolder };
    struct Case {
        const wchar_t* name;
        Step step;
        Trouble trouble;
        HRESULT expected;
        std::size_t left; // entries left in the temporary folder
    };
    std::vector<Case> cases = {
        {L"a.iam", Step::TornSave, Trouble::Plugin, textref::kInjected, 0},
        {L"a.iam", Step::None, Trouble::LockedFile, HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION), 1},
        {L"a.iam", Step::None, Trouble::LockedForCopyBack, E_ACCESSDENIED, 0},
        {L"a.iam", Step::None, Trouble::NoTempFolder, HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND), 0},
    };
    for (const wchar_t* name : {L"a.txt", L"a.iam"}) // without and with a working copy
        for (Step step : {Step::Open, Step::SetOption, Step::Read, Step::Write, Step::Save})
            cases.push_back({name, step, Trouble::Plugin, textref::kInjected, 0});
    int row = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << row++);
        const std::wstring file = Document(std::to_wstring(row) + c.name);
        SetLastWrite(file, 10, 15, 7, 640);
        SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY);
        const FileState before = FileState::Of(file);
        const auto temporary = temp.Left();
        script.failAt = c.step;
        script.beforeSave = nullptr;

        ffm::UniqueFile lock;
        if (c.trouble == Trouble::LockedFile)
            lock.reset(CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        if (c.trouble == Trouble::LockedForCopyBack)
            script.beforeSave = [&](const std::wstring&) {
                lock.reset(CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                       nullptr));
            };
        if (c.trouble == Trouble::NoTempFolder)
            SetEnvironmentVariableW(L"TMP", (temp.Path() + L"\\missing\\folder").c_str());

        // Moves whose new files are missing, so placeholders exist while the update runs.
        const HRESULT hr = Update(file);
        lock.reset();
        SetEnvironmentVariableW(L"TMP", temp.Path().c_str());

        EXPECT_EQ(HexCode(c.expected), HexCode(hr));
        EXPECT_EQ(before, FileState::Of(file));
        EXPECT_EQ(temporary.size() + c.left, temp.Left().size());
        EXPECT_EQ(std::vector<std::wstring>{}, Entries(vault.Path() + L"\\new")); // the placeholder went too
    }
}

TEST_F(ReferenceUpdate, RunningOutOfMemoryAnywhereLeavesTheFileAsItWasWithItsAttributeAndTime) {
    vault.WriteFile(L"new\\gear-2.ipt", "gear\n"); // present, so no placeholder goes into the vault
    const std::wstring file = vault.Path() + L"\\oom.iam";
    ffm::ComPtr<ITovFileFormat> format(new textref::Format(script));
    FileState before;
    HRESULT hr = E_UNEXPECTED;
    int updated = 0;
    const int points = ForEachAllocationFailure(
        [&] {
            SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
            vault.WriteFile(L"oom.iam", Original());
            SetLastWrite(file, 10, 15, 7, 640);
            SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY);
            before = FileState::Of(file);
        },
        [&](int) { hr = Update(file, 0, format.get()); },
        [&](int point) {
            const FileState after = FileState::Of(file);
            if (hr == S_OK) {
                ++updated;
                EXPECT_EQ(Updated(), after.bytes) << point;
                EXPECT_EQ(before.attributes, after.attributes) << point;
            } else {
                EXPECT_EQ(HexCode(E_OUTOFMEMORY), HexCode(hr)) << point;
                EXPECT_EQ(before, after) << point;
            }
        });
    EXPECT_GT(points, 20);
    EXPECT_EQ(1, updated); // only the run that met no failure
}

TEST_F(ReferenceUpdate, TwoPathFormUpdatesTheFirstAndKeepsAndNamesTheTrimmedSecond) {
    const std::wstring open = Document(L"open.txt");
    const std::wstring kept = vault.WriteFile(L"kept.txt", "kept\n");
    SetLastWrite(kept, 8, 0, 3, 999);
    SetFileAttributesW(kept.c_str(), FILE_ATTRIBUTE_READONLY);
    const DWORD keptAttributes = GetFileAttributesW(kept.c_str());

    EXPECT_EQ(S_OK, Update(L"\"" + open + L"\">\"  " + kept + L" \t\"", ffm::kKeepLastWriteTime));
    EXPECT_EQ(Updated(), FileState::Of(open).bytes);
    EXPECT_EQ(std::vector<std::wstring>{kept}, script.filePathsSet);
    EXPECT_EQ(keptAttributes, GetFileAttributesW(kept.c_str()));
    EXPECT_EQ(2, LastWrite(kept).wSecond);

    // The same path twice, or a plug-in without SetFilePath: nothing is named.
    script.filePathsSet.clear();
    EXPECT_EQ(S_OK, Update(open + L">" + open));
    script.withNavigator2 = false;
    EXPECT_EQ(S_OK, Update(Document(L"other.txt") + L">" + kept));
    EXPECT_EQ(std::vector<std::wstring>{}, script.filePathsSet);

    const struct {
        const wchar_t* argument;
        const wchar_t* open;
        const wchar_t* kept;
    } splits[] = {
        {L"C:\\a.txt", L"C:\\a.txt", L"C:\\a.txt"},
        {L"C:\\a b.txt > C:\\k.txt ", L"C:\\a b.txt ", L"C:\\k.txt"},
        {L"\"C:\\a.txt\">>\" C:\\k.txt\"", L"C:\\a.txt", L"C:\\k.txt"},
    };
    for (const auto& s : splits) {
        const auto paths = ffm::refupdate::SplitFileArgument(s.argument);
        EXPECT_EQ(s.open, paths.openPath) << s.argument;
        EXPECT_EQ(s.kept, paths.keptPath) << s.argument;
    }
}

TEST_F(ReferenceUpdate, WorkingCopyIsUsedForInventorSolidEdgeAndDrawingsThatAskForIt) {
    const struct {
        const wchar_t* name;
        bool markerOnNavigator;
        bool inCopy;
    } cases[] = {
        {L"a.iam", false, true}, {L"a.IPT", false, true}, {L"a.idw", false, true},
        {L"a.dft", false, true}, // unless "TempDirForSEFiles" is 0
        {L"a.txt", true, false}, {L"a.dwg", true, true},  {L"b.dwg", false, false},
    };
    for (const auto& c : cases) {
        script.workOnCopy = c.markerOnNavigator;
        EXPECT_EQ(S_OK, Update(Document(c.name))) << c.name;
        EXPECT_EQ(c.inCopy, script.opened.back().rfind(temp.Path(), 0) == 0) << c.name;
    }
    EXPECT_EQ(std::vector<std::wstring>{}, temp.Left());
}

TEST_F(ReferenceUpdate, SolidEdgeSettingIsOffOnlyForAFourByteZero) {
    const std::wstring key = L"Software\\Mordane\\Applications\\Quillan\\FileFmtMgr";
    EXPECT_TRUE(ffm::refupdate::ReadTempDirForSEFiles()); // missing
    const unsigned long long zero64 = 0;
    const DWORD zero = 0, seven = 7;
    const struct {
        DWORD type;
        const void* data;
        DWORD size;
        bool on;
    } cases[] = {{REG_DWORD, &zero, 4, false},
                 {REG_DWORD_BIG_ENDIAN, &zero, 4, false},
                 {REG_DWORD, &seven, 4, true},
                 {REG_QWORD, &zero64, 8, true},
                 {REG_SZ, L"0", 4, true}};
    for (const auto& c : cases) {
        RegistrySandbox::SetRaw(HKEY_CURRENT_USER, key, L"TempDirForSEFiles", c.type, c.data, c.size);
        EXPECT_EQ(c.on, ffm::refupdate::ReadTempDirForSEFiles()) << c.type;
    }
}

// A file without an extension gives 1, one of a type without the update capability no plug-in;
// neither is touched. A format the caller gives is used all the same, and left to the caller.
TEST_F(ReferenceUpdate, FilesWithoutExtensionOrCapabilityAreRefusedUntouchedUnlessAFormatIsGiven) {
    const struct {
        const wchar_t* name;
        HRESULT expected;
    } cases[] = {{L"noext", S_FALSE},
                 {L"dot.", S_FALSE},
                 {L"dir.v\\file", S_FALSE},
                 {L"a.nor", ffm::FFM_E_NO_PLUGIN},
                 {L"a.zzz", ffm::FFM_E_NO_PLUGIN}};
    for (const auto& c : cases) {
        const std::wstring file = Document(c.name);
        SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY);
        const FileState before = FileState::Of(file);
        // Kept time or not: a file refused for its name is not even opened. Past that check the time
        // is kept rounded on every road, so the others are asked to leave it.
        const unsigned long options = c.expected == S_FALSE ? ffm::kKeepLastWriteTime : 0;
        EXPECT_EQ(HexCode(c.expected), HexCode(Update(file, options))) << c.name;
        EXPECT_EQ(before, FileState::Of(file)) << c.name;
    }
    EXPECT_TRUE(script.opened.empty());
    ffm::ComPtr<ITovFileFormat> given(new textref::Format(script));
    const std::wstring file = Document(L"b.nor");
    EXPECT_EQ(S_OK, Update(file, 0, given.get()));
    EXPECT_EQ(Updated(), FileState::Of(file).bytes);
    EXPECT_EQ(1u, given->AddRef() - 1); // the caller's reference only
    given->Release();
}

TEST_F(ReferenceUpdate, ManagerOperationIsTheUpdateWithRootsAndWithoutKeepingTheTime) {
    const std::wstring file = vault.WriteFile(
        L"roots.iam", textref::Document({L"X:\\vault\\old\\gear.ipt", L"X:\\vault\\p\\shaft.ipt"}));
    SetLastWrite(file, 10, 15, 7, 640);
    ffm::Lst<MoveRef*> list;
    MoveRef move{L"X:\\vault\\old\\gear.ipt", L"X:\\vault\\new\\gear-2.ipt"};
    list.AddTail(&move);

    EXPECT_EQ(S_OK, goFileFormatMgr.mhUpdateReferences(file.c_str(), list, vault.Path().c_str(), L"X:\\vault",
                                                       L""));
    EXPECT_EQ(textref::Document({vault.Path() + L"\\new\\gear-2.ipt", vault.Path() + L"\\p\\shaft.ipt"}),
              FileState::Of(file).bytes);
    EXPECT_NE(2024, LastWrite(file).wYear);
    EXPECT_EQ(E_POINTER, goFileFormatMgr.mhUpdateReferences(nullptr, list, nullptr, nullptr, nullptr));
}

} // namespace
