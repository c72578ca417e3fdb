// The help page the dialog's "?" button opens. It is installed alone with its picture
// folder and opened offline in whatever browser the user has, so: well-formed HTML
// without scripts, every link local and present, every caption of the settings
// dialog named (read from the dialog's template, so a renamed control fails here),
// and a picture folder of pictures only, all shown, under its size limit.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tm_plugin_info.h"

namespace fs = std::filesystem;

namespace {

const fs::path kHelpDir = fs::path(TM_SOURCE_DIR) / "help";
const fs::path kPage = kHelpDir / "ToneMappingHelp.html";
const fs::path kPictures = kHelpDir / "ToneMappingHelp_files";
const fs::path kDialogTemplate = fs::path(TM_SOURCE_DIR) / "resources" / "ToneMapping.rc";
// What the installer may carry for the pictures, in bytes.
constexpr uintmax_t kPictureFolderLimit = 600 * 1024;

std::string fileText(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string lower(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

struct Tag {
    std::string name; // lower case, without the '/' of an end tag
    bool end = false;
    std::map<std::string, std::string> attributes; // names in lower case
};

// The page as tags and the text between them (character references decoded,
// white space collapsed). Comments are skipped; the contents of <style> are kept
// apart, since they are not text.
struct Page {
    std::vector<Tag> tags;
    std::string text;
    std::string style;
    std::string error; // the first thing the scanner could not read
};

void appendCodePoint(std::string* out, uint32_t c)
{
    if (c < 0x80) {
        *out += static_cast<char>(c);
    } else if (c < 0x800) {
        *out += static_cast<char>(0xC0 | (c >> 6));
        *out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        *out += static_cast<char>(0xE0 | (c >> 12));
        *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Text with its character references decoded; an unknown named reference is an
// error, since a browser would show it literally.
std::string decodeText(const std::string& raw, std::string* error)
{
    static const std::map<std::string, uint32_t> kNamed = {
        {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}, {"nbsp", 0xA0}, {"deg", 0xB0},
    };
    std::string out;
    for (size_t i = 0; i < raw.size(); ++i) {
        const size_t semi = raw[i] == '&' ? raw.find(';', i) : std::string::npos;
        if (semi == std::string::npos || semi - i > 10) {
            out += raw[i];
            continue;
        }
        const std::string name = raw.substr(i + 1, semi - i - 1);
        if (name.size() > 1 && name[0] == '#') {
            const bool hex = name[1] == 'x' || name[1] == 'X';
            appendCodePoint(&out, static_cast<uint32_t>(std::stoul(name.substr(hex ? 2 : 1), nullptr, hex ? 16 : 10)));
        } else if (kNamed.count(name)) {
            appendCodePoint(&out, kNamed.at(name));
        } else if (error->empty()) {
            *error = "unknown character reference &" + name + ";";
        }
        i = semi;
    }
    return out;
}

Page scan(const std::string& html)
{
    Page page;
    std::string raw;
    size_t i = 0;
    while (i < html.size() && page.error.empty()) {
        if (html[i] != '<') {
            raw += html[i++];
            continue;
        }
        if (html.compare(i, 4, "<!--") == 0) {
            const size_t close = html.find("-->", i + 4);
            if (close == std::string::npos)
                page.error = "unterminated comment";
            i = close + 3;
            continue;
        }
        raw += ' ';
        const size_t close = html.find('>', i);
        if (close == std::string::npos) {
            page.error = "unterminated tag";
            break;
        }
        std::string inside = html.substr(i + 1, close - i - 1);
        i = close + 1;
        if (!inside.empty() && inside[0] == '!')
            continue; // the doctype
        Tag tag;
        size_t k = 0;
        if (inside[0] == '/') {
            tag.end = true;
            k = 1;
        }
        while (k < inside.size() && (std::isalnum(static_cast<unsigned char>(inside[k])) || inside[k] == '-'))
            tag.name += static_cast<char>(std::tolower(static_cast<unsigned char>(inside[k++])));
        while (k < inside.size()) {
            while (k < inside.size() && (std::isspace(static_cast<unsigned char>(inside[k])) || inside[k] == '/'))
                ++k;
            std::string name;
            while (k < inside.size() && !std::isspace(static_cast<unsigned char>(inside[k])) && inside[k] != '=' &&
                   inside[k] != '/')
                name += static_cast<char>(std::tolower(static_cast<unsigned char>(inside[k++])));
            std::string value;
            if (k < inside.size() && inside[k] == '=') {
                const char quote = ++k < inside.size() ? inside[k] : ' ';
                if (quote == '"' || quote == '\'') {
                    const size_t end = inside.find(quote, k + 1);
                    if (end == std::string::npos) {
                        page.error = "unterminated attribute value in <" + tag.name + ">";
                        break;
                    }
                    value = inside.substr(k + 1, end - k - 1);
                    k = end + 1;
                } else {
                    while (k < inside.size() && !std::isspace(static_cast<unsigned char>(inside[k])))
                        value += inside[k++];
                }
            }
            if (!name.empty() && !tag.attributes.emplace(name, decodeText(value, &page.error)).second)
                page.error = "attribute " + name + " twice in <" + tag.name + ">";
        }
        if (tag.name.empty())
            page.error = "a '<' that starts no tag";
        if (tag.name == "style" && !tag.end) {
            const size_t styleEnd = html.find("</style>", i);
            page.style += html.substr(i, styleEnd - i);
            i = styleEnd;
        }
        page.tags.push_back(tag);
    }
    page.text = decodeText(raw, &page.error);
    std::string collapsed;
    for (char c : page.text)
        if (!std::isspace(static_cast<unsigned char>(c)) || (!collapsed.empty() && collapsed.back() != ' '))
            collapsed += std::isspace(static_cast<unsigned char>(c)) ? ' ' : c;
    page.text = collapsed;
    return page;
}

bool validUtf8(const std::string& s)
{
    for (size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        const size_t n = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 0;
        if (n == 0 || i + n > s.size())
            return false;
        for (size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80)
                return false;
        i += n;
    }
    return true;
}

// The visible captions of the settings dialog's controls, as its template holds
// them: value labels (sunken) and hidden controls carry no caption of their own, and
// a single '&' marks a keyboard mnemonic, not a character.
std::vector<std::string> dialogCaptions(const std::string& rc)
{
    std::vector<std::string> captions;
    const size_t begin = rc.find("\nBEGIN", rc.find("TM_DIALOG3 DIALOGEX"));
    const size_t end = rc.find("\nEND", begin);
    std::istringstream lines(rc.substr(begin, end - begin));
    for (std::string line; std::getline(lines, line);) {
        const size_t open = line.find("CONTROL \"");
        if (open == std::string::npos || line.find("SS_SUNKEN") != std::string::npos ||
            line.find("NOT WS_VISIBLE") != std::string::npos)
            continue;
        const size_t first = open + 9;
        std::string caption;
        for (size_t k = first; k < line.size() && line[k] != '"'; ++k) {
            if (line[k] == '&') {
                if (k + 1 == line.size() || line[k + 1] != '&')
                    continue;
                ++k;
            }
            caption += line[k];
        }
        if (!caption.empty())
            captions.push_back(caption);
    }
    return captions;
}

bool hasScheme(const std::string& link)
{
    const size_t colon = link.find(':');
    return colon != std::string::npos && link.find_first_of("/?#") > colon;
}

TEST(HelpPage, IsWellFormedOfflineHtmlWhoseLinksAllResolve)
{
    const std::string html = fileText(kPage);
    ASSERT_FALSE(html.empty()) << kPage;
    EXPECT_TRUE(validUtf8(html));
    EXPECT_EQ(lower(html.substr(0, 15)), "<!doctype html>");

    const Page page = scan(html);
    ASSERT_EQ(page.error, "");
    // Elements whose end tag is never written; every other element is closed, in order.
    static const std::set<std::string> kVoid = {"meta", "img", "br", "hr", "link", "source", "wbr", "col", "input"};
    std::vector<std::string> open;
    std::set<std::string> ids;
    std::vector<std::string> fragments;
    std::set<fs::path> shown;
    int titles = 0;
    bool utf8Declared = false;
    for (const Tag& tag : page.tags) {
        for (const char* banned : {"script", "iframe", "object", "embed", "base", "form"})
            EXPECT_NE(tag.name, banned) << "the page must work without scripts or anything fetched";
        if (tag.end) {
            ASSERT_FALSE(open.empty()) << "</" << tag.name << "> closes nothing";
            ASSERT_EQ(open.back(), tag.name) << "</" << tag.name << "> closes <" << open.back() << ">";
            open.pop_back();
            continue;
        }
        if (!kVoid.count(tag.name))
            open.push_back(tag.name);
        titles += tag.name == "title";
        utf8Declared |=
            tag.name == "meta" && tag.attributes.count("charset") && lower(tag.attributes.at("charset")) == "utf-8";
        if (tag.name == "img") {
            EXPECT_FALSE(tag.attributes.count("alt") == 0 || tag.attributes.at("alt").empty())
                << "an <img> without alt";
        }
        for (const auto& [name, value] : tag.attributes) {
            EXPECT_NE(name.substr(0, 2), "on") << "event handler " << name << " in <" << tag.name << ">";
            if (name == "id") {
                EXPECT_TRUE(ids.insert(value).second) << "id " << value << " twice";
            }
            if (name != "src" && name != "href" && name != "srcset" && name != "poster")
                continue;
            SCOPED_TRACE("<" + tag.name + " " + name + "=\"" + value + "\">");
            ASSERT_FALSE(value.empty());
            if (value[0] == '#') {
                fragments.push_back(value.substr(1));
                continue;
            }
            // Relative to the page, inside its folder: no scheme (web, file, script),
            // no absolute or network path, no way out through "..".
            EXPECT_FALSE(hasScheme(value));
            EXPECT_NE(value[0], '/');
            EXPECT_EQ(value.find('\\'), std::string::npos);
            EXPECT_EQ(value.find(".."), std::string::npos);
            const fs::path target = kHelpDir / value.substr(0, value.find_first_of("?#"));
            EXPECT_TRUE(fs::is_regular_file(target)) << target;
            shown.insert(target.lexically_normal());
        }
    }
    EXPECT_TRUE(open.empty()) << "<" << (open.empty() ? "" : open.back()) << "> never closed";
    EXPECT_EQ(titles, 1);
    EXPECT_TRUE(utf8Declared);
    for (const std::string& fragment : fragments)
        EXPECT_TRUE(ids.count(fragment)) << "#" << fragment << " names no element";
    // Inline CSS may not fetch anything either.
    EXPECT_EQ(page.style.find("url("), std::string::npos);
    EXPECT_EQ(page.style.find("@import"), std::string::npos);

    // The picture folder: pictures only (by their bytes, not just their names), each
    // shown by the page, the whole under the installer's limit.
    ASSERT_TRUE(fs::is_directory(kPictures));
    uintmax_t bytes = 0;
    int pictures = 0;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(kPictures)) {
        SCOPED_TRACE(entry.path().string());
        ASSERT_TRUE(entry.is_regular_file());
        const std::string extension = lower(entry.path().extension().string());
        const std::string head = fileText(entry.path()).substr(0, 4);
        if (extension == ".png")
            EXPECT_EQ(head, "\x89PNG");
        else if (extension == ".jpg")
            EXPECT_EQ(head.substr(0, 3), "\xFF\xD8\xFF");
        else
            ADD_FAILURE() << "only .jpg and .png belong in the picture folder";
        EXPECT_TRUE(shown.count(entry.path().lexically_normal())) << "a picture the page does not show";
        bytes += entry.file_size();
        ++pictures;
    }
    EXPECT_GT(pictures, 0);
    EXPECT_LE(bytes, kPictureFolderLimit);
}

TEST(HelpPage, NamesEveryDialogCaptionAndTheMenuEntry)
{
    const std::vector<std::string> captions = dialogCaptions(fileText(kDialogTemplate));
    // The template's captions (23 today): far fewer means the template was not read.
    ASSERT_GE(captions.size(), 20u) << kDialogTemplate;
    const Page page = scan(fileText(kPage));
    ASSERT_EQ(page.error, "");
    for (const std::string& caption : captions)
        EXPECT_NE(page.text.find(caption), std::string::npos) << "the page never names \"" << caption << "\"";
    for (const char* name : {TM_MENU_NAME, TM_MENU_CATEGORY, "\\ToneMappingHelp.html"})
        EXPECT_NE(page.text.find(name), std::string::npos) << "the page never names \"" << name << "\"";
}

} // namespace
