// CIM_DataFile answers: times from the birth time, the version texts of
// Windows programs kept on this system, and names WQL must quote.
#include <fcntl.h>
#include <sys/stat.h>

#include "platform/posix/pe_version.h"
#include "tests/platform/wmi/wmi_test_util.h"

using namespace wmitest;

namespace {

void put16(std::string& b, std::uint16_t v) {
    b += static_cast<char>(v & 0xFF);
    b += static_cast<char>(v >> 8);
}
void put32(std::string& b, std::uint32_t v) {
    put16(b, static_cast<std::uint16_t>(v));
    put16(b, static_cast<std::uint16_t>(v >> 16));
}
void set32(std::string& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>(v >> (8 * i));
}
void pad4(std::string& b) {
    while (b.size() % 4) b += '\0';
}
std::string utf16z(const std::string& ascii) {
    std::string b;
    for (char c : ascii) put16(b, static_cast<unsigned char>(c));
    put16(b, 0);
    return b;
}

// One block of a version resource: length, value length, type, key, value, children.
std::string block(const std::string& key, const std::string& value, std::uint16_t valueLength, std::uint16_t type,
                  const std::vector<std::string>& children = {}) {
    std::string b(6, '\0');
    b += utf16z(key);
    pad4(b);
    b += value;
    for (const std::string& c : children) {
        pad4(b);
        b += c;
    }
    b[0] = static_cast<char>(b.size() & 0xFF);
    b[1] = static_cast<char>(b.size() >> 8);
    b[2] = static_cast<char>(valueLength & 0xFF);
    b[3] = static_cast<char>(valueLength >> 8);
    b[4] = static_cast<char>(type);
    return b;
}

std::string versionString(const std::string& key, const std::string& value) {
    return block(key, utf16z(value), static_cast<std::uint16_t>(value.size() + 1), 1);
}

// A minimal 64-bit PE file whose only section holds a version resource.
std::string peFile(const std::vector<std::string>& strings) {
    std::string fixed;
    put32(fixed, 0xFEEF04BD);
    fixed.resize(52, '\0');
    const std::string vs = block(
        "VS_VERSION_INFO", fixed, 52, 0,
        {block("VarFileInfo", "", 0, 1, {block("Translation", std::string("\x09\x04\xb0\x04", 4), 4, 0)}),
         block("StringFileInfo", "", 0, 1, {block("040904b0", "", 0, 1, strings)})});

    std::string f(0x200, '\0');
    f[0] = 'M';
    f[1] = 'Z';
    set32(f, 0x3C, 0x40);
    std::string h = "PE";
    h += std::string(2, '\0');
    put16(h, 0x8664);  // machine
    put16(h, 1);       // sections
    put32(h, 0);
    put32(h, 0);
    put32(h, 0);
    put16(h, 240);  // optional header size
    put16(h, 0x22);
    std::string opt(240, '\0');
    opt[0] = 0x0b;
    opt[1] = 0x02;  // PE32+
    set32(opt, 108, 16);
    set32(opt, 112 + 16, 0x1000);  // resource directory RVA
    h += opt;
    std::string section = ".rsrc";
    section.resize(8, '\0');
    const std::uint32_t rsrcSize = static_cast<std::uint32_t>(0x58 + vs.size());
    put32(section, rsrcSize);
    put32(section, 0x1000);
    put32(section, rsrcSize);
    put32(section, 0x200);
    section.resize(40, '\0');
    h += section;
    f.replace(0x40, h.size(), h);

    // type 16 -> name 1 -> language 0x409 -> data entry -> VS_VERSIONINFO
    std::string r;
    auto directory = [&](std::uint32_t id, std::uint32_t target) {
        put32(r, 0);
        put32(r, 0);
        put32(r, 0);
        put16(r, 0);
        put16(r, 1);
        put32(r, id);
        put32(r, target);
    };
    directory(16, 0x80000018);
    directory(1, 0x80000030);
    directory(0x409, 0x48);
    put32(r, 0x1058);
    put32(r, static_cast<std::uint32_t>(vs.size()));
    put32(r, 0);
    put32(r, 0);
    r.resize(0x58, '\0');
    r += vs;
    return f + r;
}

class FileAnswers : public WmiTest {
protected:
    ObjectPtr one(const std::string& cls, const std::string& windowsPath) {
        ServicesPtr s;
        EXPECT_EQ(connect("ROOT\\CIMV2", s), S_OK_);
        std::string quoted;
        for (char c : windowsPath) {
            if (c == '\\' || c == '\'') quoted += '\\';
            quoted += c;
        }
        EnumeratorPtr e;
        if (!s || s->execQuery("WQL", "SELECT * FROM " + cls + " where Name ='" + quoted + "'", 48, e) != S_OK_)
            return nullptr;
        ObjectPtr o;
        if (e->next(WBEM_INFINITE, o) != WBEM_S_NO_ERROR) return nullptr;
        return o;
    }
    std::string windows(const fs::path& p) {
        std::string w = "C:" + p.string();
        for (char& c : w)
            if (c == '/') c = '\\';
        return w;
    }
    Variant prop(const ObjectPtr& o, const char* name) {
        Variant v;
        EXPECT_TRUE(o && succeeded(o->get(name, v))) << name;
        return v;
    }
};

}  // namespace

TEST_F(FileAnswers, WindowsProgramsReportTheirVersionResource) {
    writeFile(root / "tool.exe",
              peFile({versionString("CompanyName", "Example Tools Ltd"), versionString("FileDescription", "A tool"),
                      versionString("FileVersion", "10.2.0.7 (build.2401)")}));
    ObjectPtr tool = one("CIM_DataFile", windows(root / "tool.exe"));
    ASSERT_NE(tool, nullptr);
    EXPECT_EQ(prop(tool, "Version").text, "10.2.0.7 (build.2401)");
    EXPECT_EQ(prop(tool, "Manufacturer").text, "Example Tools Ltd");

    // Without the texts, not a PE file, or a damaged one: null, never a crash.
    writeFile(root / "plain.dll", peFile({versionString("ProductName", "x")}));
    EXPECT_TRUE(prop(one("CIM_DataFile", windows(root / "plain.dll")), "Version").isNull());
    writeFile(root / "notes.txt", "MZ but not a program");
    EXPECT_TRUE(prop(one("CIM_DataFile", windows(root / "notes.txt")), "Manufacturer").isNull());
    const std::string whole = peFile({versionString("CompanyName", "Example Tools Ltd")});
    for (std::size_t cut : {std::size_t{0x41}, std::size_t{0x150}, std::size_t{0x220}, whole.size() - 9}) {
        writeFile(root / "cut.exe", whole.substr(0, cut));
        const auto v = platform::posix::readPeVersionStrings((root / "cut.exe").string());
        EXPECT_FALSE(v.fileVersion.has_value()) << cut;
    }
    std::string lying = whole;
    lying[0x200 + 0x58] = '\xff';  // a block length beyond the resource
    lying[0x200 + 0x59] = '\x7f';
    writeFile(root / "lying.exe", lying);
    EXPECT_FALSE(platform::posix::readPeVersionStrings((root / "lying.exe").string()).companyName.has_value());
}

TEST_F(FileAnswers, CreationDateIsNotTheModificationTime) {
    writeFile(root / "old.txt", "x");
    const struct timespec times[2] = {{978307200, 0}, {978307200, 0}};  // 2001-01-01
    ASSERT_EQ(utimensat(AT_FDCWD, (root / "old.txt").c_str(), times, 0), 0);
    ObjectPtr o = one("CIM_DataFile", windows(root / "old.txt"));
    ASSERT_NE(o, nullptr);
    EXPECT_EQ(prop(o, "LastModified").text.substr(0, 4), "2001");
    EXPECT_GE(prop(o, "CreationDate").text.substr(0, 4), "2020");
    EXPECT_EQ(prop(o, "Compressed").type, Variant::Type::Boolean);
    EXPECT_EQ(prop(o, "System").boolean, false);
}

TEST_F(FileAnswers, QuotedNamesAndItemsThatAreNotRegularFiles) {
    writeFile(root / "it's here.txt", "abc");
    ObjectPtr o = one("CIM_DataFile", windows(root / "it's here.txt"));
    ASSERT_NE(o, nullptr);
    EXPECT_EQ(prop(o, "FileSize").text, "3");
    ASSERT_EQ(mkfifo((root / "pipe").c_str(), 0600), 0);
    ObjectPtr pipe = one("CIM_DataFile", windows(root / "pipe"));
    ASSERT_NE(pipe, nullptr);
    EXPECT_TRUE(prop(pipe, "Version").isNull());
}
