// What a script sees of fmtmgr: the fields every command writes with --json, the exit codes of
// help and bad usage, the sample format's flags in any letter case, and a file saved after
// attribute and reference changes mixed.
#include "FmtmgrKit.h"

#include <optional>

using namespace ffmtest;
using nlohmann::json;

namespace {

// The field names of a JSON value, nested ("{a,b:[{c}]}"); an array by its first element.
std::string Shape(const json& value) {
    if (value.is_array())
        return value.empty() ? "[]" : "[" + Shape(value[0]) + "]";
    if (!value.is_object())
        return "";
    std::string shape;
    for (auto it = value.begin(); it != value.end(); ++it) {
        const std::string inner = Shape(*it);
        shape += (shape.empty() ? "" : ",") + it.key() + (inner.empty() ? "" : ":" + inner);
    }
    return "{" + shape + "}";
}

// The user's list of extensions excluded from preview, as it was before a test set it, put back
// when the test ends: the prefix's user registry outlives the test (the demo sets a list too).
class KeptExcludedList {
  public:
    KeptExcludedList() {
        DWORD bytes = 0;
        if (RegGetValueW(HKEY_CURRENT_USER, kKey, kValue, RRF_RT_REG_SZ, nullptr, nullptr, &bytes) !=
            ERROR_SUCCESS)
            return;
        m_value.emplace(bytes / sizeof(wchar_t) + 1, L'\0');
        if (RegGetValueW(HKEY_CURRENT_USER, kKey, kValue, RRF_RT_REG_SZ, nullptr, m_value->data(), &bytes) !=
            ERROR_SUCCESS)
            m_value.reset();
    }
    ~KeptExcludedList() {
        if (m_value)
            RegSetKeyValueW(HKEY_CURRENT_USER, kKey, kValue, REG_SZ, m_value->c_str(),
                            static_cast<DWORD>((wcslen(m_value->c_str()) + 1) * sizeof(wchar_t)));
        else
            RegDeleteKeyValueW(HKEY_CURRENT_USER, kKey, kValue);
    }

  private:
    static constexpr const wchar_t* kKey = L"Software\\Mordane\\Applications\\Quillan\\FileFmtMgr";
    static constexpr const wchar_t* kValue = L"ExcludeExtList";
    std::optional<std::wstring> m_value;
};

TEST_F(Fmtmgr, EveryCommandWritesItsFieldsAndNoOthers) {
    const KeptExcludedList kept;
    const struct {
        const wchar_t* arguments;
        const char* shape;
    } cases[] = {
        {L"plugins", "{plugins:[{clsid,component,extensions:[{extension,mask}],name}],unknownPluginEntries:[]"
                     ",unusableEntries:[]}"},
        {L"extensions --mask 0x4000", "{extensions:[],mask}"},
        {L"format box.mrdasm", "{file,mask,plugin,requestedMask}"},
        {L"refs box.mrdasm",
         "{file,mask,references:[{configurations:[{config1,config2,count,flag1Count,flag2OnlyCount}],"
         "dataSize,dataText,filePath,flag,number,numberA,numberB,numberC,numberD,refPath,text}]}"},
        {L"size-date box.mrdasm", "{date,file,oleDate,size,universal}"},
        {L"size-date box.mrdasm --utc", "{date,file,oleDate,size,universal}"},
        {L"configs box.mrdasm", "{configurations:[{name,tag}],file}"},
        {L"attrs box.mrdasm CustomProperty:Material",
         "{attributes:[{block,flag,found,name,type,value}],configuration,file}"},
        {L"vars box.mrdasm --map M=CustomProperty:Material",
         "{file,variables:[{values:[{configuration,flag,set,tag,type,value}],variable}]}"},
        {L"set-attrs box.mrdasm CustomProperty:Material=Steel --no-save",
         "{attributes:[{block,name,written}],configuration,file,saved,written}"},
        {L"set-vars box.mrdasm --map M=CustomProperty:Material --set M=Iron --no-save",
         "{file,saved,variables:[{values:[{configuration,flag,set,tag,type,value}],variable}],written}"},
        {L"modules box.mrdasm", "{file,mask,modules}"},
        {L"subfiles box.mrdasm", "{entries:[],file,folders}"},
        {L"update-refs box.mrdasm --move a.mrdprt=b.mrdprt", "{changed:[],file,references}"},
        {L"excluded --set exe", "{extensions:[{excludedFromPreview,extension}],list}"},
    };
    for (const auto& c : cases) {
        const json out = RunJson(c.arguments);
        EXPECT_EQ(c.shape, Shape(out)) << Utf8(c.arguments) << "\n" << out.dump();
    }
}

// The sample's entries for .mrdasm come in the order 0x1, 0x4000, 0x2, 0x4: a request of 0x4002
// takes the first one sharing a bit, whose mask differs from the request.
TEST_F(Fmtmgr, MasksAreTheChosenEntrysAndTheRequestIsReportedApart) {
    const json format = RunJson(L"format box.mrdasm --mask 0x4002");
    EXPECT_EQ(0x4002, format["requestedMask"]);
    EXPECT_EQ(0x4000, format["mask"]);
    EXPECT_EQ(0x4000, RunJson(L"refs box.mrdasm --mask 0x4002")["mask"]);
    EXPECT_EQ(0x1, RunJson(L"refs box.mrdasm")["mask"]);
}

TEST_F(Fmtmgr, HelpEndsWellAndBadUsageWithTwo) {
    for (const wchar_t* help : {L"--help", L"-h", L"refs --help", L"update-refs --help"}) {
        const Result r = Run(help);
        EXPECT_EQ(0u, r.exitCode) << Utf8(help);
        EXPECT_NE(std::string::npos, r.out.find("Usage")) << Utf8(help) << "\n" << r.out;
        EXPECT_EQ("", r.err) << Utf8(help);
    }
    for (const wchar_t* bad : {L"refs", L"--frobnicate refs box.mrdasm", L"extensions --mask 0xZZ",
                               L"size-date", L"attrs box.mrdasm", L"set-vars box.mrdasm --set M=1"}) {
        const Result r = Run(bad);
        EXPECT_EQ(2u, r.exitCode) << Utf8(bad) << "\n" << r.err;
        EXPECT_EQ("", r.out) << Utf8(bad);
    }
}

TEST_F(Fmtmgr, UseFlagsAndKindsAreReadInAnyLetterCase) {
    folder.WriteFile(L"upper.mrdasm", "MRD 1 assembly\r\n[Configurations]\r\nDefault\r\n"
                                      "[Reference Shaft]\r\nPath = parts\\shaft.mrdprt\r\nKind = VIEW\r\n"
                                      "Use = Default > Standard, SUPPRESSED, Excluded\r\n"
                                      "Use = Default > Standard, EXCLUDED\r\n");
    const json refs = RunJson(L"refs upper.mrdasm")["references"];
    ASSERT_EQ(1u, refs.size());
    EXPECT_EQ(3, refs[0]["numberA"]) << "a view";
    EXPECT_EQ((json{{{"config1", "Default"},
                     {"config2", "Standard"},
                     {"count", 2},
                     {"flag1Count", 1},
                     {"flag2OnlyCount", 1}}}),
              refs[0]["configurations"]);
}

// A new file-wide property, a moved reference and a changed property of one configuration, each
// saved in turn: every line lands in its own section and the file reads back whole.
TEST_F(Fmtmgr, SaveAfterAttributeAndReferenceChangesKeepsEverySectionInPlace) {
    ASSERT_EQ(0u, Run(L"set-attrs box.mrdasm CustomProperty:Author=Ann").exitCode);
    ASSERT_EQ(
        1u,
        RunJson(L"update-refs box.mrdasm --move parts\\shaft.mrdprt=bought\\shaft.mrdprt")["changed"].size());
    ASSERT_EQ(0u, Run(L"set-attrs box.mrdasm --config Heavy \"CustomProperty:Title=Heavier box\"").exitCode);
    std::string expected = kSampleAssembly;
    expected.replace(expected.find("parts\\"), 6, "bought\\");
    expected.replace(expected.find("Heavy box"), 9, "Heavier box");
    expected.insert(expected.find("[Properties Heavy]"), "CustomProperty:Author = Ann\r\n");
    EXPECT_EQ(expected, ReadAll(assembly));
    const json attrs = RunJson(L"attrs box.mrdasm CustomProperty:Author CustomProperty:Material");
    EXPECT_EQ("Ann", attrs["attributes"][0]["value"]);
    EXPECT_EQ("Steel", attrs["attributes"][1]["value"]);
    EXPECT_EQ(2u, RunJson(L"refs box.mrdasm")["references"].size());
}

} // namespace
