// dravik scan quick on the FAT fixtures: the JSON listing, recovery of the
// whole volume, of selected folders and files, the deleted and filter
// options, and wrong usage.

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <algorithm>

#include "FatFixtures.h"
#include "TestFiles.h"

namespace dravik {
namespace {

namespace fs = std::filesystem;
using test::Quote;
using test::RunShell;

std::string Dravik(const std::string& args) { return Quote(test::CliPath()) + " " + args; }

// --- A small JSON reader, enough for the item list -----------------------------

struct JsonValue {
  enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject } kind = Kind::kNull;
  bool boolean = false;
  double number = 0;
  std::string text;
  std::vector<JsonValue> items;
  std::vector<std::pair<std::string, JsonValue>> members;

  const JsonValue& At(const std::string& key) const {
    for (const auto& [name, value] : members)
      if (name == key) return value;
    throw std::runtime_error("no member " + key);
  }
  bool Has(const std::string& key) const {
    return std::any_of(members.begin(), members.end(), [&](const auto& m) { return m.first == key; });
  }
  const std::string& Str() const { return Is(Kind::kString).text; }
  double Num() const { return Is(Kind::kNumber).number; }
  bool Bool() const { return Is(Kind::kBool).boolean; }
  const std::vector<JsonValue>& Arr() const { return Is(Kind::kArray).items; }

 private:
  const JsonValue& Is(Kind wanted) const {
    if (kind != wanted) throw std::runtime_error("JSON value of another kind");
    return *this;
  }
};

class JsonReader {
 public:
  explicit JsonReader(const std::string& text) : s_(text) {}
  JsonValue Document() {
    JsonValue value = Value();
    Blank();
    if (i_ != s_.size()) throw std::runtime_error("text after the JSON value");
    return value;
  }

 private:
  void Blank() {
    while (i_ < s_.size() && std::string_view(" \t\r\n").find(s_[i_]) != std::string_view::npos) ++i_;
  }
  char Peek() {
    Blank();
    if (i_ >= s_.size()) throw std::runtime_error("JSON ends early");
    return s_[i_];
  }
  void Expect(char c) {
    if (Peek() != c) throw std::runtime_error(std::string("JSON: expected ") + c + " at " + std::to_string(i_));
    ++i_;
  }
  JsonValue Value() {
    const char c = Peek();
    JsonValue value;
    if (c == '{' || c == '[') {
      const char close = c == '{' ? '}' : ']';
      value.kind = c == '{' ? JsonValue::Kind::kObject : JsonValue::Kind::kArray;
      ++i_;
      if (Peek() == close) return ++i_, value;
      while (true) {
        if (c == '{') {
          std::string key = String();
          Expect(':');
          value.members.emplace_back(std::move(key), Value());
        } else {
          value.items.push_back(Value());
        }
        if (Peek() != ',') break;
        ++i_;
      }
      Expect(close);
      return value;
    }
    if (c == '"') {
      value.kind = JsonValue::Kind::kString;
      value.text = String();
      return value;
    }
    for (const char* word : {"true", "false", "null"}) {
      if (s_.compare(i_, std::strlen(word), word) != 0) continue;
      i_ += std::strlen(word);
      value.kind = word[0] == 'n' ? JsonValue::Kind::kNull : JsonValue::Kind::kBool;
      value.boolean = word[0] == 't';
      return value;
    }
    std::size_t used = 0;
    value.kind = JsonValue::Kind::kNumber;
    value.number = std::stod(s_.substr(i_, 40), &used);
    i_ += used;
    return value;
  }
  static void Utf8(std::string& out, std::uint32_t c) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  std::uint32_t Hex4() {
    const std::uint32_t value = static_cast<std::uint32_t>(std::stoul(s_.substr(i_, 4), nullptr, 16));
    i_ += 4;
    return value;
  }
  std::string String() {
    Expect('"');
    std::string out;
    while (true) {
      if (i_ >= s_.size()) throw std::runtime_error("JSON string ends early");
      const char c = s_[i_++];
      if (c == '"') return out;
      if (c != '\\') {
        out += c;
        continue;
      }
      const char e = s_[i_++];
      switch (e) {
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case 'r': out += '\r'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'u': {
          std::uint32_t code = Hex4();
          if (code >= 0xD800 && code < 0xDC00 && s_.compare(i_, 2, "\\u") == 0) {
            i_ += 2;
            code = 0x10000 + ((code - 0xD800) << 10) + (Hex4() - 0xDC00);
          }
          Utf8(out, code);
          break;
        }
        default: out += e;
      }
    }
  }

  const std::string& s_;
  std::size_t i_ = 0;
};

struct JsonItem {
  std::string kind, path, name, created;
  std::uint64_t size = 0;
  bool deleted = false;
};

std::vector<JsonItem> ScanJson(const fs::path& image) {
  const auto result = RunShell(Dravik("scan quick --json --quiet " + Quote(image) + " 2>/dev/null"));
  EXPECT_EQ(result.status, 0);
  std::vector<JsonItem> items;
  try {
    const JsonValue document = JsonReader(result.out).Document();
    for (const JsonValue& o : document.At("items").Arr()) {
      JsonItem item{o.At("kind").Str(), o.At("path").Str(), o.At("name").Str(), o.At("created").Str()};
      if (o.Has("size")) item.size = static_cast<std::uint64_t>(o.At("size").Num());
      item.deleted = o.At("deleted").Bool();
      EXPECT_TRUE(o.Has("id") && o.Has("modified")) << item.path;
      items.push_back(std::move(item));
    }
  } catch (const std::exception& e) {
    ADD_FAILURE() << "bad JSON (" << e.what() << "): " << result.out.substr(0, 400);
  }
  return items;
}

// Canonical paths of the items: each level's deleted flag from its folder item.
std::map<std::string, const JsonItem*> ByKey(const std::vector<JsonItem>& items) {
  std::map<std::string, bool> deletedByPath;
  for (const auto& item : items) deletedByPath[item.path] = item.deleted;
  std::map<std::string, const JsonItem*> byKey;
  for (const auto& item : items) {
    std::vector<test::PathLevel> levels;
    std::string prefix;
    std::size_t from = 0;
    while (from <= item.path.size()) {
      std::size_t to = item.path.find('/', from);
      if (to == std::string::npos) to = item.path.size();
      const std::string name = item.path.substr(from, to - from);
      prefix += (prefix.empty() ? "" : "/") + name;
      levels.push_back({name, deletedByPath[prefix]});
      from = to + 1;
    }
    byKey[test::CanonicalPath(levels, test::NameSource::kScan)] = &item;
  }
  return byKey;
}

// "dd-mm-yyyy " of "yyyy-mm-dd".
std::string ListDate(const std::string& iso) { return iso.substr(8, 2) + "-" + iso.substr(5, 2) + "-" + iso.substr(0, 4) + " "; }

std::string Lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

// Runs a recovery; returns the count its last line gives.
long Recover(const fs::path& image, const fs::path& dir, const std::string& options) {
  const auto result =
      RunShell(Dravik("scan quick --quiet " + Quote(image) + " --recover " + Quote(dir) + " " + options + " 2>/dev/null"));
  EXPECT_EQ(result.status, 0) << options;
  const std::string tail = " files saved into " + dir.string() + "\n";
  if (result.out.size() < tail.size() || result.out.compare(result.out.size() - tail.size(), tail.size(), tail) != 0) {
    ADD_FAILURE() << "no closing count line: " << result.out;
    return -1;
  }
  const std::size_t start = result.out.rfind('\n', result.out.size() - tail.size() - 1);
  return std::stol(result.out.substr(start == std::string::npos ? 0 : start + 1));
}

TEST(ScanCliTest, JsonListsTheManifestFilesWithSizesDatesAndDeletedFlags) {
  const auto items = ScanJson(test::FatFixture("fat32.vhd"));
  const auto byKey = ByKey(items);
  std::size_t checked = 0;
  for (const auto& file : test::ReadManifest("fat32")) {
    if (file.size == 0) continue;
    SCOPED_TRACE(file.path);
    const auto it = byKey.find(file.key);
    ASSERT_NE(it, byKey.end()) << "not listed";
    EXPECT_EQ(it->second->kind, "file");
    EXPECT_EQ(it->second->size, file.size);
    EXPECT_EQ(it->second->deleted, file.deleted);
    EXPECT_EQ(it->second->created, ListDate(file.date));
    EXPECT_EQ(it->second->name, it->second->path.substr(it->second->path.rfind('/') + 1));
    ++checked;
  }
  EXPECT_GT(checked, 850u);
  // Every folder a manifest file sits in is listed as a folder.
  for (const auto& file : test::ReadManifest("fat32")) {
    const auto slash = file.key.rfind('/');
    if (slash == std::string::npos) continue;
    const auto it = byKey.find(file.key.substr(0, slash));
    ASSERT_NE(it, byKey.end()) << file.path;
    EXPECT_EQ(it->second->kind, "folder");
  }
}

TEST(ScanCliTest, RecoverWritesEveryFileWithItsContent) {
  test::TempDir dir;
  const fs::path out = dir / "recovered";  // made by the command
  const long count = Recover(test::FatFixture("fat32.vhd"), out, "");
  const auto saved = test::HashTree(out);
  EXPECT_EQ(count, static_cast<long>(saved.size()));
  std::map<std::string, std::string> byKey;
  for (const auto& [path, sha] : saved) byKey[test::CanonicalSavedPath(path)] = sha;
  std::size_t checked = 0;
  for (const auto& file : test::ReadManifest("fat32")) {
    if (file.size == 0) continue;
    const auto it = byKey.find(file.key);
    ASSERT_NE(it, byKey.end()) << file.path << " not saved";
    EXPECT_EQ(it->second, file.sha256) << file.path;
    ++checked;
  }
  EXPECT_GT(checked, 850u);
}

TEST(ScanCliTest, SelectRecreatesAFolderWithItsPathOrWritesAFileFlat) {
  const auto image = test::FatFixture("fat16.vhdx");
  const auto manifest = test::ReadManifest("fat16");
  const auto sha = [&](const std::string& path) {
    for (const auto& f : manifest)
      if (f.path == path) return f.sha256;
    return std::string("missing");
  };

  test::TempDir folder;
  EXPECT_EQ(Recover(image, folder.Path(), "--select 'Docs/Sub Folder'"), 1);
  EXPECT_EQ(test::ListTree(folder.Path()), (std::vector<std::string>{"Docs", "Docs/Sub Folder", "Docs/Sub Folder/Deep",
                                                                      "Docs/Sub Folder/Deep/deeper file.txt"}));
  EXPECT_EQ(test::HashTree(folder.Path())["Docs/Sub Folder/Deep/deeper file.txt"], sha("Docs/Sub Folder/Deep/deeper file.txt"));

  test::TempDir file;
  EXPECT_EQ(Recover(image, file.Path(), "--select /Docs/Report.txt --select 'Docs/日本.txt'"), 2);
  EXPECT_EQ(test::HashTree(file.Path()), (std::map<std::string, std::string>{{"Report.txt", sha("Docs/Report.txt")},
                                                                             {"日本.txt", sha("Docs/日本.txt")}}));
  EXPECT_EQ(test::ListTree(file.Path()).size(), 2u);

  test::TempDir none;
  const auto missing = RunShell(Dravik("scan quick --quiet " + Quote(image) + " --recover " + Quote(none.Path()) +
                                       " --select Docs/absent.txt 2>/dev/null"));
  EXPECT_EQ(missing.status, 1);
}

TEST(ScanCliTest, DeletedOnlyAndFilterChooseTheFilesSaved) {
  const auto image = test::FatFixture("fat32-4k.vhd");
  const auto items = ScanJson(image);
  const auto byKey = ByKey(items);

  test::TempDir deleted;
  const long count = Recover(image, deleted.Path(), "--deleted only");
  const auto saved = test::HashTree(deleted.Path());
  EXPECT_EQ(count, static_cast<long>(saved.size()));
  std::set<std::string> expected, got;
  for (const auto& [key, item] : byKey)
    if (item->kind == "file" && item->deleted) expected.insert(key);
  for (const auto& [path, sha] : saved) got.insert(test::CanonicalSavedPath(path));
  EXPECT_EQ(got, expected);
  for (const auto& file : test::ReadManifest("fat32-4k")) {
    if (!file.deleted) continue;
    for (const auto& [path, sha] : saved) {
      if (test::CanonicalSavedPath(path) == file.key) {
        EXPECT_EQ(sha, file.sha256) << file.path;
      }
    }
  }

  test::TempDir filtered;
  const long txt = Recover(image, filtered.Path(), "--filter '*.txt'");
  expected.clear();
  got.clear();
  for (const auto& [key, item] : byKey) {
    const std::string name = Lower(item->name);
    if (item->kind == "file" && name.size() > 4 && name.compare(name.size() - 4, 4, ".txt") == 0) expected.insert(key);
  }
  for (const auto& [path, sha] : test::HashTree(filtered.Path())) got.insert(test::CanonicalSavedPath(path));
  EXPECT_EQ(got, expected);
  EXPECT_EQ(txt, static_cast<long>(expected.size()));
  EXPECT_GT(expected.size(), 10u);
}

TEST(ScanCliTest, WrongOptionsExitWithUsageStatus) {
  const auto image = Quote(test::FatFixture("fat16.vhd"));
  test::TempDir dir;
  const std::string recover = " --recover " + Quote(dir.Path());
  for (const std::string& options :
       {std::string("--deleted maybe") + recover, std::string("--duplicates sometimes") + recover,
        std::string("--select Docs"), std::string("--list --json"), std::string("--filter ") + std::string(20, 'a'),
        std::string("--partition x"), std::string("--bogus")}) {
    const auto result = RunShell(Dravik("scan quick " + image + " " + options + " 2>/dev/null"));
    EXPECT_EQ(result.status, 2) << options;
  }
  EXPECT_TRUE(test::ListTree(dir.Path()).empty()) << "nothing is written on wrong usage";
  // A filter of 19 characters is accepted.
  const auto ok = RunShell(Dravik("scan quick --quiet --list " + image + " --filter " + std::string(19, 'a') + " 2>/dev/null"));
  EXPECT_EQ(ok.status, 0);
  // --partition past the table fails without being a usage error.
  EXPECT_EQ(RunShell(Dravik("scan quick --quiet " + image + " --partition 3 2>/dev/null")).status, 1);
}

}  // namespace
}  // namespace dravik
