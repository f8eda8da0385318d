#include "doctest.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "facts/image_facts.h"
#include "facts/yara_reader.h"
#include "import_table.h"
#include "pe_file.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "version_resource.h"
#include "support/test_folder.h"

using namespace olv;
namespace fs = std::filesystem;

namespace {

struct ScratchFolder : TestFolder {
    ScratchFolder() : TestFolder("olv_facts_") {}
    // Bytes only: a file written here is a list of bytes, `{}` the empty one.
    fs::path Write(const std::string& name, const std::vector<unsigned char>& bytes) const {
        return TestFolder::Write(name, bytes);
    }
};

[[maybe_unused]] std::vector<unsigned char> ReadAll(const fs::path& path) {
    std::vector<unsigned char> bytes(fs::file_size(path));
    std::ifstream in(path, std::ios::binary);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    REQUIRE(in.good());
    return bytes;
}

// PE files of the machine: Wine's own programs and libraries (natively: their files on disk;
// under Wine: the prefix's copies).
[[maybe_unused]] std::vector<fs::path> MachinePeFiles() {
#ifdef _WIN32
    const char* folders[] = {"C:\\windows\\system32"};
#else
    const char* folders[] = {"/usr/lib/x86_64-linux-gnu/wine/x86_64-windows",
                             "/usr/lib/wine/x86_64-windows"};
#endif
    std::vector<fs::path> found;
    std::error_code ec;
    for (const char* folder : folders)
        for (const char* name : {"kernel32.dll", "notepad.exe", "version.dll", "msvcrt.dll"})
            if (found.size() < 4 && fs::is_regular_file(fs::path(folder) / name, ec))
                found.push_back(fs::path(folder) / name);
    return found;
}

#ifndef _WIN32
// Natively, the upper-case digest a system tool (md5sum, ...) gives for a file.
std::string ToolDigest(const char* tool, const fs::path& path) {
    FILE* pipe = popen((std::string(tool) + " '" + path.string() + "'").c_str(), "r");
    REQUIRE_MESSAGE(pipe, "cannot run ", tool);
    char line[256] = {};
    const bool got = std::fgets(line, sizeof line, pipe) != nullptr;
    pclose(pipe);
    REQUIRE_MESSAGE(got, tool, " printed nothing");
    std::string digest(line, std::strcspn(line, " "));
    for (char& c : digest)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return digest;
}
#endif

// Natively, the digests the system's own tools give for the same file.
[[maybe_unused]] void CheckDigestsAgainstTools(const ImageFacts& facts, const fs::path& path) {
#ifndef _WIN32
    CHECK(ToolDigest("sha1sum", path) == facts.sha1);
    CHECK(ToolDigest("md5sum", path) == facts.md5);
    CHECK(ToolDigest("sha256sum", path) == facts.sha256);
#else
    (void)facts, (void)path;
#endif
}

// The fact against the suite's own reading; texts of other than ASCII only as known.
[[maybe_unused]] void CheckField(const std::map<std::u16string, std::u16string>& strings,
                                 const char16_t* key, const FactText& fact) {
    CAPTURE(std::string(fact.text));
    const auto found = strings.find(key);
    REQUIRE(fact.known == (found != strings.end()));
    if (!fact.known) return;
    std::string expected;
    for (char16_t c : found->second)
        if (c < 0x80) expected.push_back(static_cast<char>(c));
    if (expected.size() == found->second.size() && expected.size() < 256)
        CHECK(expected == fact.text);
}

bool AnyVersionText(const ImageFacts& f) {
    return f.originalFileName.known || f.description.known || f.product.known || f.company.known ||
           f.fileVersion.known;
}

void CheckNothingKnown(const ImageFacts& facts) {
    CHECK_FALSE(facts.digestsKnown);
    CHECK_FALSE(facts.hashesKnown);
    CHECK_FALSE(facts.imphashKnown);
    CHECK_FALSE(facts.isPe);
    CHECK_FALSE(AnyVersionText(facts));
    CHECK(facts.hashes[0] == '\0');
}

} // namespace

#if OLV_HAVE_LIBYARA

TEST_CASE("Image facts of the machine's PE files match the tools' digests and the own reading") {
    const std::vector<fs::path> files = MachinePeFiles();
    if (files.empty()) {
        MESSAGE("skipped: no PE file on this machine (Wine's programs and libraries are missing)");
        return;
    }
    int withVersion = 0;
    for (const fs::path& path : files) {
        CAPTURE(path.string());
        ImageFacts facts{};
        REQUIRE(ReadImageFacts(path.u16string().c_str(), &facts));
        CHECK(facts.status == ImageFactsStatus::Read);
        CHECK(facts.size == fs::file_size(path));
        CHECK(facts.isPe);
        REQUIRE(facts.digestsKnown);
        CheckDigestsAgainstTools(facts, path);
        REQUIRE(facts.imphashKnown);
        CHECK(std::strlen(facts.imphash) == 32);
        const std::string hashes = std::string("SHA1=") + facts.sha1 + ",MD5=" + facts.md5 +
                                   ",SHA256=" + facts.sha256 + ",IMPHASH=" + facts.imphash;
        CHECK(facts.hashesKnown);
        CHECK(hashes == facts.hashes);

        std::map<std::u16string, std::u16string> strings;
        if (test::ReadVersionStrings(ReadAll(path), &strings)) ++withVersion;
        CheckField(strings, u"OriginalFilename", facts.originalFileName);
        CheckField(strings, u"FileDescription", facts.description);
        CheckField(strings, u"ProductName", facts.product);
        CheckField(strings, u"CompanyName", facts.company);
        CheckField(strings, u"FileVersion", facts.fileVersion);

        // The same bytes in memory give the same facts.
        const std::vector<unsigned char> bytes = ReadAll(path);
        ImageFacts fromBytes{};
        REQUIRE(ReadImageFactsFromBytes(bytes.data(), bytes.size(), &fromBytes));
        CHECK(std::memcmp(&fromBytes, &facts, sizeof facts) == 0);
    }
    CHECK_MESSAGE(withVersion > 0, "no file with a version resource was checked");
}

namespace {

// PE files with imports of both widths: Wine's own programs and libraries (natively: their files
// on disk; under Wine: the prefix's copies) and MinGW's runtime libraries up to 2 MB (the larger
// ones add time, not cases).
std::vector<fs::path> FilesWithImports() {
#ifdef _WIN32
    const char* wineFolders[] = {"C:\\windows\\system32", "C:\\windows\\syswow64"};
    const std::vector<std::string> otherFolders = {"C:\\windows\\syswow64"};
    std::error_code ec;
    const char* otherNames[] = {"zlib1.dll"};
#else
    const char* wineFolders[] = {"/usr/lib/x86_64-linux-gnu/wine/x86_64-windows"};
    std::vector<std::string> otherFolders = {"/usr/lib/x86_64-linux-gnu/wine/i386-windows"};
    std::error_code ec;
    for (const char* triplet : {"x86_64-w64-mingw32", "i686-w64-mingw32"})
        for (const auto& entry : fs::directory_iterator(fs::path("/usr/lib/gcc") / triplet, ec))
            if (entry.path().filename().string().ends_with("-win32"))
                otherFolders.push_back(entry.path().string());
    const char* otherNames[] = {"zlib1.dll",     "libgcc_s_seh-1.dll", "libgcc_s_dw2-1.dll",
                                "libgomp-1.dll", "libobjc-4.dll",      "libquadmath-0.dll",
                                "libssp-0.dll",  "libatomic-1.dll"};
#endif
    const char* wineNames[] = {"advapi32.dll", "ws2_32.dll",   "wsock32.dll",  "version.dll",
                               "secur32.dll",  "notepad.exe",  "explorer.exe", "msiexec.exe",
                               "reg.exe",      "regsvr32.exe", "rundll32.exe", "schtasks.exe",
                               "taskkill.exe", "whoami.exe",   "sc.exe"};
    std::vector<fs::path> found;
    auto add = [&](const fs::path& folder, const char* name) {
        const fs::path path = fs::path(folder) / name;
        if (fs::is_regular_file(path, ec) && fs::file_size(path, ec) <= (2u << 20))
            found.push_back(path);
    };
    for (const char* folder : wineFolders)
        for (const char* name : wineNames)
            add(folder, name);
    for (const std::string& folder : otherFolders)
        for (const char* name : otherNames)
            add(folder, name);
    return found;
}

} // namespace

TEST_CASE("The import hash matches the suite's own reading of the import table") {
    ScratchFolder scratch;
    int checked = 0, wide = 0, narrow = 0, byTable = 0, ordinals = 0;
    for (const fs::path& path : FilesWithImports()) {
        CAPTURE(path.string());
        const std::vector<unsigned char> bytes = ReadAll(path);
        std::vector<test::PeImport> imports;
        REQUIRE(test::ReadImports(bytes, &imports));
        CHECK_FALSE(imports.empty());
        std::string text;
        if (!test::ImportHashText(imports, &text)) {
            ++byTable; // ordinals named by a table this reading does not carry
            continue;
        }
        ImageFacts facts{};
        REQUIRE(ReadImageFactsFromBytes(bytes.data(), bytes.size(), &facts));
        REQUIRE(facts.imphashKnown);
        ++checked;
        test::PeLayout layout;
        REQUIRE(test::ReadPeLayout(test::PeBytes{bytes}, &layout));
        ++(layout.pe32plus ? wide : narrow);
        for (const test::PeImport& import : imports)
            ordinals += import.function.empty();
#ifndef _WIN32
        const std::vector<unsigned char> textBytes(text.begin(), text.end());
        CHECK(ToolDigest("md5sum", scratch.Write("imports.txt", textBytes)) == facts.imphash);
#endif
    }
    MESSAGE(checked, " import hashes checked (", wide, " 64-bit, ", narrow, " 32-bit; ", ordinals,
            " imports by ordinal); ", byTable,
            " files skipped: ordinals of ws2_32, wsock32 or oleaut32");
#ifdef _WIN32
    MESSAGE("the import hashes themselves are compared natively only (md5sum)");
#endif
    if (checked == 0) MESSAGE("skipped: no PE file with imports on this machine");
}

TEST_CASE("A damaged import table gives no import hash of the suite's reading, nor a crash") {
    const std::vector<fs::path> files = FilesWithImports();
    if (files.empty()) {
        MESSAGE("skipped: no PE file on this machine");
        return;
    }
    const std::vector<unsigned char> whole = ReadAll(files.front());
    std::vector<test::PeImport> imports;
    REQUIRE(test::ReadImports(whole, &imports));
    // The import directory's entry in the headers.
    test::PeLayout layout;
    REQUIRE(test::ReadPeLayout(test::PeBytes{whole}, &layout));
    const size_t entry = layout.directories + 8;
    // The shortest head of the file holding the whole table (more bytes never lose it).
    size_t low = 0, at = whole.size();
    while (low + 1 < at) {
        const size_t cut = (low + at) / 2;
        const std::vector<unsigned char> head(whole.begin(),
                                              whole.begin() + static_cast<long>(cut));
        (test::ReadImports(head, &imports) ? at : low) = cut;
    }
    REQUIRE(at > 0x400); // past the headers
    ImageFacts facts{};
    auto check = [&](const std::vector<unsigned char>& bytes) {
        CHECK_FALSE(test::ReadImports(bytes, &imports));
        REQUIRE(ReadImageFactsFromBytes(bytes.data(), bytes.size(), &facts));
        CHECK(facts.digestsKnown);
        if (facts.imphashKnown) CHECK(std::strlen(facts.imphash) == 32);
    };
    SUBCASE("cut short inside the import table: libyara reads what is there") {
        check(std::vector<unsigned char>(whole.begin(), whole.begin() + static_cast<long>(at) - 1));
    }
    SUBCASE("an import RVA outside every section") {
        std::vector<unsigned char> bad = whole;
        bad[entry + 3] = 0x7F;
        check(bad);
        CAPTURE(facts.imphash);
        CHECK_FALSE(facts.imphashKnown);
    }
}

TEST_CASE("Image facts of files that are not whole PE files") {
    ScratchFolder scratch;
    ImageFacts facts{};

    SUBCASE("a text file: digests of its bytes, no import hash, no version texts") {
        const fs::path path = scratch.Write("notes.txt", {'a', 'b', 'c'});
        REQUIRE(ReadImageFacts(path.u16string().c_str(), &facts));
        CHECK_FALSE(facts.isPe);
        CHECK(std::string(facts.hashes) ==
              "SHA1=A9993E364706816ABA3E25717850C26C9CD0D89D,"
              "MD5=900150983CD24FB0D6963F7D28E17F72,"
              "SHA256=BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD");
        CHECK_FALSE(facts.imphashKnown);
        CHECK_FALSE(AnyVersionText(facts));
    }
    // Files of which nothing is known, each with its reason.
    auto unread = [&](const fs::path& path, uint64_t limit, ImageFactsStatus status) {
        CAPTURE(path.string());
        CHECK_FALSE(ReadImageFacts(path.u16string().c_str(), &facts, limit));
        CHECK(facts.status == status);
        CheckNothingKnown(facts);
    };
    SUBCASE("missing, empty, over the limit, no memory for it") {
        unread(scratch.dir / "gone.dll", kDefaultImageFactsSizeLimit, ImageFactsStatus::CannotOpen);
        CHECK(facts.systemError == kErrorFileNotFound);
        unread(scratch.Write("empty.exe", {}), 4096, ImageFactsStatus::Empty);
        const fs::path big = scratch.Write("big.bin", std::vector<unsigned char>(8192, 'x'));
        unread(big, 8191, ImageFactsStatus::TooLarge);
        CHECK(facts.size == 8192);
        CHECK(ReadImageFacts(big.u16string().c_str(), &facts, 8192)); // at the limit: read
        RefuseAllocationsAbove(4096);
        unread(big, 8192, ImageFactsStatus::NoMemory);
        ResetAllocationFaults();
    }
    SUBCASE("truncated and damaged PE files: digests of what is there, no invented texts") {
        const std::vector<fs::path> files = MachinePeFiles();
        if (files.empty()) {
            MESSAGE("skipped: no PE file on this machine");
            return;
        }
        const std::vector<unsigned char> whole = ReadAll(files.front());
        REQUIRE(whole.size() > 4096);
        // Cut inside the headers, right after them, and in the middle; then every header byte
        // of the first page turned to 0xFF.
        std::vector<std::vector<unsigned char>> damaged;
        for (size_t cut : {size_t{64}, size_t{1024}, whole.size() / 2})
            damaged.emplace_back(whole.begin(), whole.begin() + static_cast<long>(cut));
        damaged.push_back(whole);
        for (size_t i = 0x40; i < 0x400; ++i)
            damaged.back()[i] = 0xFF;
        int n = 0;
        for (const std::vector<unsigned char>& bytes : damaged) {
            CAPTURE(bytes.size());
            const fs::path path = scratch.Write("cut" + std::to_string(++n) + ".dll", bytes);
            REQUIRE(ReadImageFacts(path.u16string().c_str(), &facts));
            CHECK(facts.digestsKnown);
            CheckDigestsAgainstTools(facts, path);
            std::map<std::u16string, std::u16string> strings;
            test::ReadVersionStrings(bytes, &strings);
            CheckField(strings, u"OriginalFilename", facts.originalFileName);
            CheckField(strings, u"CompanyName", facts.company);
            if (!facts.isPe) {
                CHECK_FALSE(facts.imphashKnown);
                CHECK(std::string(facts.hashes).find("IMPHASH") == std::string::npos);
            }
        }
    }
}

TEST_CASE("The facts cache reads each version of a file once") {
    ScratchFolder scratch;
    ImageFactsCache cache{};
    REQUIRE(InitImageFactsCache(&cache, 2));
    const std::u16string a = (scratch.dir / "a.txt").u16string();
    const std::u16string b = (scratch.dir / "b.txt").u16string();
    const std::u16string c = (scratch.dir / "c.txt").u16string();
    ImageFacts facts{};
    bool cached = true;
    auto read = [&](const std::u16string& path) {
        ReadImageFactsCached(&cache, path.c_str(), &facts, kDefaultImageFactsSizeLimit, &cached);
        return cached;
    };
    // Not there yet: not kept, so its creation is seen.
    CHECK_FALSE(read(a));
    CHECK(facts.status == ImageFactsStatus::CannotOpen);
    scratch.Write("a.txt", {'a', 'b', 'c'});
    CHECK_FALSE(read(a));
    CHECK(read(a));
    CHECK(std::string(facts.md5) == "900150983CD24FB0D6963F7D28E17F72");

    // Another size, or the same size written at another time: another version.
    scratch.Write("a.txt", {'a', 'b'});
    CHECK_FALSE(read(a));
    CHECK(std::string(facts.md5) == "187EF4436122D1CC2F40DC2B92F0EBA0");
    const auto written = fs::last_write_time(scratch.dir / "a.txt");
    scratch.Write("a.txt", {'a', 'c'});
    fs::last_write_time(scratch.dir / "a.txt", written + std::chrono::seconds(5));
    CHECK_FALSE(read(a));
    CHECK(read(a));
    CHECK(std::string(facts.md5) == "E2075474294983E013EE4DD2201C7A73");

    // Full: the entry used longest ago (b) makes room for c.
    scratch.Write("b.txt", {'b'});
    scratch.Write("c.txt", {'c'});
    CHECK_FALSE(read(b));
    CHECK(read(a));
    CHECK_FALSE(read(c));
    CHECK(read(a));
    CHECK_FALSE(read(b));
    CHECK(cache.hits == 4);
    CHECK(cache.reads == 6); // the file that was not there is not counted

    // Too large under one limit is kept for that limit; a larger limit reads the file and
    // keeps its facts, which then serve the smaller limit too.
    auto readUnder = [&](uint64_t limit) {
        ReadImageFactsCached(&cache, c.c_str(), &facts, limit, &cached);
        return cached;
    };
    scratch.Write("c.txt", {'l', 'a', 'r', 'g', 'e'});
    CHECK_FALSE(readUnder(4));
    CHECK(facts.status == ImageFactsStatus::TooLarge);
    CHECK(readUnder(4));
    CHECK(facts.status == ImageFactsStatus::TooLarge);
    CHECK_FALSE(readUnder(5));
    CHECK(facts.status == ImageFactsStatus::Read);
    CHECK(readUnder(4));
    CHECK(facts.status == ImageFactsStatus::Read);
    ReleaseImageFactsCache(&cache);
    CHECK(LiveAllocationCount() == 0);
}

#else

TEST_CASE("A build without libyara reads no image facts and says so") {
    ScratchFolder scratch;
    const fs::path path = scratch.Write("some.bin", {'M', 'Z'});
    ImageFacts facts{};
    CHECK_FALSE(ReadImageFacts(path.u16string().c_str(), &facts));
    CHECK(facts.status == ImageFactsStatus::NoReader);
    CheckNothingKnown(facts);
}

#endif

TEST_CASE("Version texts and digests are copied bounded, terminated and in one form") {
    FactText text{};
    CopyVersionText("Caf\xE9\x01!", 6, &text);
    CHECK(text.known);
    CHECK_FALSE(text.truncated);
    CHECK(std::string(text.text) == "Caf\xC3\xA9 !");

    // 254 ASCII bytes and a Latin-1 one: the two-byte character does not fit and is cut whole.
    std::string longText(254, 'a');
    longText.push_back('\xE9');
    CopyVersionText(longText.data(), longText.size(), &text);
    CHECK(text.truncated);
    CHECK(std::strlen(text.text) == 254);
    CopyVersionText(longText.data(), 255, &text);
    CHECK(text.truncated);
    CHECK(std::strlen(text.text) == 254);
    CopyVersionText(longText.data(), 254, &text);
    CHECK_FALSE(text.truncated);

    char digest[33];
    CHECK(CopyDigest("900150983cd24fb0d6963f7d28e17f72", 32, 32, digest));
    CHECK(std::string(digest) == "900150983CD24FB0D6963F7D28E17F72");
    CHECK_FALSE(CopyDigest("900150983cd24fb0d6963f7d28e17f7", 31, 32, digest));
    CHECK(digest[0] == '\0');
    CHECK_FALSE(CopyDigest("900150983cd24fb0d6963f7d28e17f7g", 32, 32, digest));
    CHECK(digest[0] == '\0');
    CHECK_FALSE(CopyDigest(nullptr, 0, 32, digest));
}
