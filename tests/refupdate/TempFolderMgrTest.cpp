// The working copy of a reference update: its folder, the moved files placed beside it, the
// local file service, the placeholder documents, the copy-back and the clean-up, on real files.
#include "refupdate/TempFolderMgr.h"
#include "refupdate/UpdateTestKit.h"

#include <gtest/gtest.h>

using namespace ffmtest;
using ffm::refupdate::TempFolderMgr;

namespace {

struct Moves {
    std::vector<MoveRef> records;
    ffm::Lst<MoveRef*> list;
    Moves(std::initializer_list<MoveRef> moves) : records(moves) {
        for (MoveRef& m : records)
            list.AddTail(&m);
    }
};

class WorkingCopy : public ::testing::Test {
  protected:
    TempFolder vault; // these two are made before the temporary folder moves
    FileService service;
    PrivateTemp temp;
    const Moves none{};
};

TEST_F(WorkingCopy, FolderNamesCarryProcessThreadAndTickAndTheNextTickWhenTaken) {
    const std::wstring base = temp.Path() + L"\\";
    const struct {
        DWORD pid, tid, tick;
        const wchar_t* name;
    } cases[] = {
        {12, 34, 56, L"QLN12-34-56"},
        {12, 34, 56, L"QLN12-34-57"},         // same thread and millisecond: the next tick count
        {12, 35, 56, L"QLN12-35-56"},         // another thread in the same millisecond
        {12, 34, 0xFFFFFFFF, L"QLN12-34--1"}, // signed decimal
        {12, 34, 0xFFFFFFFF, L"QLN12-34-0"},  // and on past the wrap
    };
    for (const auto& c : cases)
        EXPECT_EQ(base + c.name, ffm::refupdate::CreateUniqueFolder(base, c.pid, c.tid, c.tick));
}

TEST_F(WorkingCopy, MovedPathsAreRebasedUnderEitherOldRootIgnoringCase) {
    const TempFolderMgr mgr(L"C:\\v\\a.txt", L"C:\\Old", L"\\\\server\\vault", L"D:\\New", none.list, false);
    const struct {
        const wchar_t* path;
        const wchar_t* mapped;
    } cases[] = {
        {L"c:\\OLD\\x\\p.ipt", L"D:\\New\\x\\p.ipt"},
        {L"\\\\SERVER\\Vault\\p.ipt", L"D:\\New\\p.ipt"},
        {L"C:\\Older\\p.ipt", L"D:\\Newer\\p.ipt"}, // a plain text prefix, as the roots are given
        {L"E:\\elsewhere\\p.ipt", L"E:\\elsewhere\\p.ipt"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.mapped, mgr.moMapPath(c.path)) << c.path;
    const TempFolderMgr noRoots(L"C:\\v\\a.txt", L"", L"", L"D:\\New", none.list, false);
    EXPECT_EQ(L"C:\\Old\\p.ipt", noRoots.moMapPath(L"C:\\Old\\p.ipt"));
}

TEST_F(WorkingCopy, MovedFilesLieBesideTheCopyUnderTheirOldNamesAndAllGoesAtTheEnd) {
    const std::wstring file = vault.WriteFile(L"top.iam", "top\n");
    vault.WriteFile(L"new\\bolt-m8.ipt", "bolt\n");
    vault.WriteFile(L"new\\nut-2.ipt", "nut 2\n");
    vault.WriteFile(L"kept\\OldVersions\\v1.ipt", "history\n");
    vault.WriteFile(L"kept\\plate.ipt", "plate\n");
    const std::wstring v = vault.Path();
    // Roots map the vault's server paths to the local disk; the second nut has the old name of
    // the first and is not copied over it.
    const Moves moves{{L"X:\\vault\\old\\bolt.ipt", L"X:\\vault\\new\\bolt-m8.ipt"},
                      {v + L"\\old\\nut.ipt", v + L"\\new\\nut-2.ipt"},
                      {v + L"\\old2\\nut.ipt", v + L"\\kept\\plate.ipt"}};
    std::wstring folder;
    {
        TempFolderMgr mgr(file, L"X:\\vault", L"", v, moves.list, true);
        folder = mgr.moTempFolder;
        EXPECT_EQ(temp.Path() + L"\\", folder.substr(0, temp.Path().size() + 1));
        EXPECT_EQ(folder + L"\\top.iam", mgr.moWorkPath);
        EXPECT_EQ(std::vector<std::wstring>({L"bolt.ipt", L"nut.ipt", L"top.iam"}), Entries(folder));
        EXPECT_EQ("bolt\n", Read(folder + L"\\bolt.ipt"));
        EXPECT_EQ("nut 2\n", Read(folder + L"\\nut.ipt"));
        // Versions folders the CAD side makes beside moved files go; one that was there stays.
        vault.WriteFile(L"new\\OldVersions\\bolt-m8.1.ipt", "old bolt\n");
    }
    EXPECT_FALSE(Exists(folder));
    EXPECT_EQ(std::vector<std::wstring>{}, temp.Left());
    EXPECT_FALSE(Exists(v + L"\\new\\OldVersions"));
    EXPECT_EQ("history\n", Read(v + L"\\kept\\OldVersions\\v1.ipt"));
    EXPECT_EQ("top\n", Read(file));
    EXPECT_EQ("bolt\n", Read(v + L"\\new\\bolt-m8.ipt"));
}

// The service is asked for every moved file that is missing, one request each: code 1, the path
// cut to 260 characters, a zero.
TEST_F(WorkingCopy, MissingInventorFilesAreAskedForThenStandInAsEmptyDocumentsUntilTheEnd) {
    ASSERT_TRUE(service.Ready());
    const std::wstring file = vault.WriteFile(L"top.iam", "top\n");
    const std::wstring v = vault.Path();
    const std::wstring longPath = L"Q:\\" + std::wstring(300, L'a') + L".txt";
    const Moves moves{{v + L"\\old\\gear.ipt", v + L"\\deep\\er\\gear-2.ipt"},
                      {v + L"\\old\\sub.iam", v + L"\\new\\sub-2.iam"},
                      {v + L"\\old\\notes.txt", v + L"\\new\\notes-2.txt"},
                      {L"Q:\\o\\b.txt", longPath}};
    std::string part, assembly;
    {
        TempFolderMgr mgr(file, L"", L"", L"", moves.list, true);
        // At the new local paths (folders made on the way) and beside the copy.
        part = Read(v + L"\\deep\\er\\gear-2.ipt");
        EXPECT_EQ(part, Read(mgr.moTempFolder + L"\\gear.ipt"));
        assembly = Read(v + L"\\new\\sub-2.iam");
        EXPECT_EQ(assembly, Read(mgr.moTempFolder + L"\\sub.iam"));
        // Other kinds have no placeholder.
        EXPECT_FALSE(Exists(v + L"\\new\\notes-2.txt"));
        EXPECT_FALSE(Exists(mgr.moTempFolder + L"\\notes.txt"));
        EXPECT_FALSE(mgr.mbWritePlaceholder(v + L"\\c.idw"));
        EXPECT_FALSE(mgr.mbWritePlaceholder(v + L"\\d"));
    }
    EXPECT_FALSE(Exists(v + L"\\deep\\er\\gear-2.ipt"));
    EXPECT_FALSE(Exists(v + L"\\new\\sub-2.iam"));
    EXPECT_EQ(std::vector<std::wstring>{}, temp.Left());

    // The library's placeholder documents: empty compound documents, a part's other than an assembly's.
    std::vector<CLSID> classes;
    for (const std::string& bytes : {part, assembly}) {
        const std::wstring path = vault.WriteFile(L"placeholder", bytes);
        IStorage* root = nullptr;
        ASSERT_EQ(S_OK,
                  StgOpenStorage(path.c_str(), nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, nullptr, 0, &root));
        STATSTG stat{};
        root->Stat(&stat, STATFLAG_NONAME);
        classes.push_back(stat.clsid);
        root->Release();
    }
    EXPECT_NE(classes[0], classes[1]);
    EXPECT_NE(CLSID_NULL, classes[0]);

    const auto requests = service.Requests();
    ASSERT_EQ(4u, requests.size());
    const std::vector<unsigned char> exact = {1, 0,    0, 0,   'Q', 0,   ':', 0,   '\\', 0,   'v', 0, '\\',
                                              0, 0xE9, 0, '.', 0,   't', 0,   'x', 0,    't', 0,   0, 0};
    EXPECT_EQ(exact, ffm::refupdate::FileServiceRequest(L"Q:\\v\\\u00e9.txt"));
    EXPECT_EQ(ffm::refupdate::FileServiceRequest(v + L"\\deep\\er\\gear-2.ipt"), requests[0].bytes);
    EXPECT_EQ(ffm::refupdate::FileServiceRequest(v + L"\\new\\notes-2.txt"), requests[2].bytes);
    ASSERT_EQ(2u * 260 + 6, requests[3].bytes.size());
    EXPECT_EQ(ffm::refupdate::FileServiceRequest(longPath.substr(0, 260)), requests[3].bytes);
}

// Without a copy the file itself is worked on and nothing is made; with one, the copy takes the
// file's place keeping its attributes, and no sibling is left.
TEST_F(WorkingCopy, CopyBackReplacesTheFileKeepingItsAttributes) {
    const std::wstring file = vault.WriteFile(L"top.ipt", "before\n");
    {
        TempFolderMgr direct(file, L"", L"", L"", none.list, false);
        EXPECT_EQ(file, direct.moWorkPath);
        EXPECT_TRUE(direct.moTempFolder.empty());
        direct.mvCopyBack();
    }
    EXPECT_EQ(std::vector<std::wstring>{}, temp.Left());
    SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE);
    const FileState before = FileState::Of(file);
    {
        TempFolderMgr mgr(file, L"", L"", L"", none.list, true);
        ASSERT_TRUE(textref::WriteBytes(mgr.moWorkPath, "after\n", 6));
        mgr.mvCopyBack();
    }
    const FileState after = FileState::Of(file);
    EXPECT_EQ("after\n", after.bytes);
    EXPECT_EQ(before.attributes, after.attributes);
    // The creation time is set as well, but Wine cannot set one on Linux file systems.
    EXPECT_EQ(std::vector<std::wstring>{L"top.ipt"}, Entries(vault.Path()));
}

} // namespace
