#include "preview/RtfReader.h"

#include <iconv.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <map>

#include "util/Utf.h"

namespace dravik::preview {

namespace {

constexpr std::string_view kMagic = "{\\rtf";
constexpr int kDefaultCodePage = 1252;
constexpr int kUtf8CodePage = 65001;
constexpr std::size_t kMaxOpenCodePages = 16;
constexpr std::size_t kMaxWordLength = 32;
constexpr int kMaxDigits = 10;
constexpr int kDefaultHalfPoints = 24;
constexpr int kSmallestHalfPoints = 2;
constexpr int kLargestHalfPoints = 3276;  // 1638 points, Word's largest

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// The Windows code page of a font's \fcharset; 0 for the document's own.
int CodePageOfCharset(int charset) {
  static const std::map<int, int> kTable = {
      {77, 10000}, {128, 932},  {129, 949},  {130, 1361}, {134, 936},  {136, 950}, {161, 1253}, {162, 1254},
      {163, 1258}, {177, 1255}, {178, 1256}, {186, 1257}, {204, 1251}, {222, 874}, {238, 1250}, {255, 437}};
  const auto found = kTable.find(charset);
  return found == kTable.end() ? 0 : found->second;
}

// Bytes of a code page to UTF-8 through iconv, one converter kept per code page.
class CodePages {
 public:
  CodePages() = default;
  CodePages(const CodePages&) = delete;
  CodePages& operator=(const CodePages&) = delete;
  ~CodePages() {
    for (auto& [page, cd] : open_)
      if (cd != Invalid()) iconv_close(cd);
  }

  void Decode(int page, std::string_view bytes, std::string& out) {
    if (page == kUtf8CodePage) {
      out += bytes;
      return;
    }
    iconv_t cd = Get(page);
    if (cd == Invalid()) cd = Get(kDefaultCodePage);
    if (cd == Invalid()) {
      for (const char c : bytes) AppendUtf8(out, static_cast<unsigned char>(c));
      return;
    }
    Convert(cd, bytes, out);
  }

 private:
  static iconv_t Invalid() { return reinterpret_cast<iconv_t>(static_cast<std::intptr_t>(-1)); }

  iconv_t Get(int page) {
    const auto found = open_.find(page);
    if (found != open_.end()) return found->second;
    if (open_.size() >= kMaxOpenCodePages || page <= 0 || page > 65535) return Invalid();
    const std::string name = page == 10000 ? "MACINTOSH" : "CP" + std::to_string(page);
    iconv_t cd = iconv_open("UTF-8", name.c_str());
    open_.emplace(page, cd);
    return cd;
  }

  // A byte that does not convert becomes U+FFFD and the rest goes on.
  static void Convert(iconv_t cd, std::string_view bytes, std::string& out) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char* in = const_cast<char*>(bytes.data());
    std::size_t in_left = bytes.size();
    char buffer[256];
    while (in_left > 0) {
      char* to = buffer;
      std::size_t to_left = sizeof(buffer);
      const std::size_t done = iconv(cd, &in, &in_left, &to, &to_left);
      out.append(buffer, static_cast<std::size_t>(to - buffer));
      if (done == static_cast<std::size_t>(-1) && errno != E2BIG) {
        out += kReplacement;
        ++in;
        --in_left;
      }
    }
  }

  std::map<int, iconv_t> open_;
};

enum class Destination { kText, kSkip, kFontTable, kColourTable };

// What a group keeps and gives back when it closes.
struct GroupState {
  RtfStyle style;
  Destination destination = Destination::kText;
  int skip_after_unicode = 1;  // \uc
  int font_code_page = 0;      // 0: the document's
  bool hidden = false;         // \v
};

bool IsSkippedDestination(std::string_view word) {
  static constexpr std::string_view kSkipped[] = {"stylesheet",
                                                  "info",
                                                  "pict",
                                                  "header",
                                                  "headerl",
                                                  "headerr",
                                                  "headerf",
                                                  "footer",
                                                  "footerl",
                                                  "footerr",
                                                  "footerf",
                                                  "footnote",
                                                  "fldinst",
                                                  "object",
                                                  "objdata",
                                                  "themedata",
                                                  "colorschememapping",
                                                  "datastore",
                                                  "latentstyles",
                                                  "listtable",
                                                  "listoverridetable",
                                                  "rsidtbl",
                                                  "generator",
                                                  "xmlnstbl",
                                                  "mmathPr",
                                                  "pgdsctbl",
                                                  "revtbl",
                                                  "filetbl",
                                                  "private",
                                                  "template",
                                                  "annotation",
                                                  "atnid",
                                                  "atnauthor",
                                                  "shppict",
                                                  "nonshppict",
                                                  "shpinst",
                                                  "xe",
                                                  "tc",
                                                  "txe",
                                                  "userprops",
                                                  "docvar",
                                                  "bkmkstart",
                                                  "bkmkend",
                                                  "comment",
                                                  "wgrffmtfilter"};
  return std::find(std::begin(kSkipped), std::end(kSkipped), word) != std::end(kSkipped);
}

bool IsUnderlineWord(std::string_view word) {
  static constexpr std::string_view kUnderlines[] = {
      "ul",    "uld",      "uldash",    "uldashd",    "uldashdd",  "uldb",       "ulhwave", "ulldash", "ulth",
      "ulthd", "ulthdash", "ulthdashd", "ulthdashdd", "ulthldash", "ululdbwave", "ulw",     "ulwave"};
  return std::find(std::begin(kUnderlines), std::end(kUnderlines), word) != std::end(kUnderlines);
}

// Control words that stand for one character.
const char* CharacterOf(std::string_view word) {
  static const std::map<std::string_view, const char*> kCharacters = {
      {"line", "\n"},          {"tab", "\t"},           {"cell", "\t"},        {"emdash", "\u2014"},
      {"endash", "\u2013"},    {"bullet", "\u2022"},    {"lquote", "\u2018"},  {"rquote", "\u2019"},
      {"ldblquote", "\u201C"}, {"rdblquote", "\u201D"}, {"emspace", "\u2003"}, {"enspace", "\u2002"},
      {"qmspace", "\u2005"},   {"zwj", "\u200D"},       {"zwnj", "\u200C"}};
  const auto found = kCharacters.find(word);
  return found == kCharacters.end() ? nullptr : found->second;
}

bool IsParagraphBreak(std::string_view word) {
  return word == "par" || word == "sect" || word == "page" || word == "row";
}

class Reader {
 public:
  explicit Reader(std::string_view bytes) : bytes_(bytes) {}

  std::optional<RtfDocument> Run() {
    if (bytes_.substr(0, kMagic.size()) != kMagic) return std::nullopt;
    document_.paragraphs.emplace_back();
    while (pos_ < bytes_.size()) {
      const char c = bytes_[pos_];
      if (c == '{') {
        if (!OpenGroup()) return std::nullopt;
      } else if (c == '}') {
        if (CloseGroup()) return Finish();
      } else if (c == '\\') {
        Control();
      } else {
        ++pos_;
        if (c != '\r' && c != '\n') Byte(static_cast<unsigned char>(c));
      }
    }
    return std::nullopt;
  }

 private:
  GroupState& State() { return states_.back(); }

  bool OpenGroup() {
    ++pos_;
    Flush();
    skip_ = 0;
    if (states_.size() >= static_cast<std::size_t>(kRtfMaxDepth)) return false;
    states_.push_back(states_.empty() ? GroupState{} : State());
    return true;
  }

  // True when the document's own group closed.
  bool CloseGroup() {
    ++pos_;
    Flush();
    skip_ = 0;
    if (!states_.empty() && State().destination == Destination::kFontTable) font_ = -1;
    if (!states_.empty()) states_.pop_back();
    return states_.empty();
  }

  RtfDocument Finish() {
    Flush();
    auto& paragraphs = document_.paragraphs;
    if (paragraphs.size() > 1 && paragraphs.back().runs.empty()) paragraphs.pop_back();
    return std::move(document_);
  }

  void Control() {
    ++pos_;
    if (pos_ >= bytes_.size()) return;
    const char c = bytes_[pos_];
    if (std::isalpha(static_cast<unsigned char>(c))) {
      ControlWord();
    } else {
      ++pos_;
      ControlSymbol(c);
    }
  }

  void ControlWord() {
    const std::size_t start = pos_;
    while (pos_ < bytes_.size() && std::isalpha(static_cast<unsigned char>(bytes_[pos_]))) ++pos_;
    const std::string_view word = bytes_.substr(start, std::min(pos_ - start, kMaxWordLength));
    std::optional<int> param;
    const bool negative = pos_ < bytes_.size() && bytes_[pos_] == '-';
    if (negative) ++pos_;
    long long value = 0;
    int digits = 0;
    while (pos_ < bytes_.size() && std::isdigit(static_cast<unsigned char>(bytes_[pos_]))) {
      if (digits++ < kMaxDigits) value = value * 10 + (bytes_[pos_] - '0');
      ++pos_;
    }
    if (digits > 0) {
      value = std::clamp(negative ? -value : value, -2147483647LL, 2147483647LL);
      param = static_cast<int>(value);
    }
    if (pos_ < bytes_.size() && bytes_[pos_] == ' ') ++pos_;
    if (states_.empty()) return;
    if (word == "bin") {
      // Binary data of that many bytes follows, whatever the destination.
      pos_ += std::min<std::size_t>(static_cast<std::size_t>(std::max(param.value_or(0), 0)), bytes_.size() - pos_);
      return;
    }
    if (skip_ > 0) {
      --skip_;
      return;
    }
    Flush();
    Word(word, param);
  }

  void Word(std::string_view word, std::optional<int> param) {
    GroupState& state = State();
    if (state.destination == Destination::kSkip) return;
    if (word == "fonttbl") {
      state.destination = Destination::kFontTable;
    } else if (word == "colortbl") {
      state.destination = Destination::kColourTable;
      colour_ = {};
    } else if (IsSkippedDestination(word)) {
      state.destination = Destination::kSkip;
    } else if (state.destination == Destination::kFontTable) {
      FontTableWord(word, param);
    } else if (state.destination == Destination::kColourTable) {
      ColourTableWord(word, param);
    } else {
      DocumentWord(word, param);
    }
  }

  void FontTableWord(std::string_view word, std::optional<int> param) {
    if (word == "f" && param)
      font_ = *param;
    else if ((word == "fcharset" || word == "cpg") && param && font_ >= 0)
      fonts_[font_] = word == "cpg" ? *param : CodePageOfCharset(*param);
  }

  void ColourTableWord(std::string_view word, std::optional<int> param) {
    const auto level = static_cast<std::uint32_t>(std::clamp(param.value_or(0), 0, 255));
    if (word == "red")
      colour_.value = (colour_.value & 0x00FFFF) | level << 16;
    else if (word == "green")
      colour_.value = (colour_.value & 0xFF00FF) | level << 8;
    else if (word == "blue")
      colour_.value = (colour_.value & 0xFFFF00) | level;
    else
      return;
    colour_.set = true;
  }

  void DocumentWord(std::string_view word, std::optional<int> param) {
    if (StyleWord(word, param) || CodePageWord(word, param)) return;
    if (word == "u" && param) {
      Unicode(*param);
    } else if (IsParagraphBreak(word)) {
      EndParagraph();
    } else if (const char* character = CharacterOf(word)) {
      Append(character);
    }
  }

  // The character state of the group; true when the word was one of it.
  bool StyleWord(std::string_view word, std::optional<int> param) {
    GroupState& state = State();
    RtfStyle& style = state.style;
    const bool on = param.value_or(1) != 0;
    if (word == "b") {
      style.bold = on;
    } else if (word == "i") {
      style.italic = on;
    } else if (IsUnderlineWord(word) || word == "ulnone") {
      style.underline = on && word != "ulnone";
    } else if (word == "strike" || word == "striked") {
      style.strike = on;
    } else if (word == "v") {
      state.hidden = on;
    } else if (word == "fs") {
      style.half_points =
          param && *param > 0 ? std::clamp(*param, kSmallestHalfPoints, kLargestHalfPoints) : kDefaultHalfPoints;
    } else if (word == "cf") {
      style.colour = ColourAt(param.value_or(0));
    } else if (word == "plain") {
      Plain(state);
    } else if (word == "uc" && param) {
      state.skip_after_unicode = std::max(*param, 0);
    } else {
      return false;
    }
    return true;
  }

  // Which code page the text bytes are in; true when the word said.
  bool CodePageWord(std::string_view word, std::optional<int> param) {
    if (word == "f" && param) {
      State().font_code_page = FontCodePage(*param);
    } else if (word == "deff" && param) {
      default_font_ = *param;
    } else if (word == "ansicpg" && param) {
      code_page_ = *param;
    } else if (word == "ansi") {
      code_page_ = kDefaultCodePage;
    } else if (word == "mac") {
      code_page_ = 10000;
    } else if (word == "pc") {
      code_page_ = 437;
    } else if (word == "pca") {
      code_page_ = 850;
    } else {
      return false;
    }
    return true;
  }

  void Plain(GroupState& state) {
    state.style = RtfStyle{};
    state.hidden = false;
    state.font_code_page = FontCodePage(default_font_);
  }

  int FontCodePage(int font) const {
    const auto found = fonts_.find(font);
    return found == fonts_.end() ? 0 : found->second;
  }

  std::optional<std::uint32_t> ColourAt(int index) const {
    if (index < 0 || static_cast<std::size_t>(index) >= colours_.size()) return std::nullopt;
    return colours_[static_cast<std::size_t>(index)];
  }

  // \uN: a UTF-16 unit (negative for those above 32767), then \uc characters of fallback to skip.
  void Unicode(int value) {
    const auto unit = static_cast<char32_t>(value < 0 ? value + 65536 : value) & 0xFFFF;
    skip_ = State().skip_after_unicode;
    if (unit >= 0xD800 && unit < 0xDC00) {
      high_surrogate_ = unit;
      return;
    }
    std::string text;
    if (unit >= 0xDC00 && unit < 0xE000) {
      if (high_surrogate_ == 0) {
        text = kReplacement;
      } else {
        AppendUtf8(text, 0x10000 + ((high_surrogate_ - 0xD800) << 10) + (unit - 0xDC00));
      }
    } else {
      AppendUtf8(text, unit);
    }
    high_surrogate_ = 0;
    Append(text);
  }

  void ControlSymbol(char c) {
    if (states_.empty()) return;
    if (c == '\'') {
      const int byte = Hex();
      if (skip_ > 0) {
        --skip_;
        return;
      }
      if (byte >= 0) Byte(static_cast<unsigned char>(byte));
      return;
    }
    if (skip_ > 0) {
      --skip_;
      return;
    }
    if (c == '\\' || c == '{' || c == '}') {
      Byte(static_cast<unsigned char>(c));
      return;
    }
    Flush();
    if (c == '*') State().destination = Destination::kSkip;
    if (State().destination != Destination::kText) return;
    if (c == '~')
      Append("\u00A0");
    else if (c == '_')
      Append("\u2011");
    else if (c == '\n' || c == '\r')
      EndParagraph();
  }

  // The two hex digits after \'; -1 when they are not there.
  int Hex() {
    int value = 0;
    for (int k = 0; k < 2; ++k) {
      if (pos_ >= bytes_.size() || !std::isxdigit(static_cast<unsigned char>(bytes_[pos_]))) return -1;
      const char d = static_cast<char>(std::tolower(static_cast<unsigned char>(bytes_[pos_++])));
      value = value * 16 + (std::isdigit(static_cast<unsigned char>(d)) ? d - '0' : d - 'a' + 10);
    }
    return value;
  }

  // A byte of text in the current code page.
  void Byte(unsigned char byte) {
    if (states_.empty()) return;
    if (skip_ > 0) {
      --skip_;
      return;
    }
    const GroupState& state = State();
    if (state.destination == Destination::kColourTable && byte == ';') {
      colours_.push_back(colour_.set ? std::optional<std::uint32_t>(colour_.value) : std::nullopt);
      colour_ = {};
    }
    if (state.destination != Destination::kText || state.hidden) return;
    const int page = state.font_code_page != 0 ? state.font_code_page : code_page_;
    if (page != pending_page_) Flush();
    pending_page_ = page;
    pending_ += static_cast<char>(byte);
  }

  void Flush() {
    if (pending_.empty()) return;
    std::string text;
    code_pages_.Decode(pending_page_, pending_, text);
    pending_.clear();
    Append(text);
  }

  void Append(std::string_view text) {
    if (states_.empty() || State().destination != Destination::kText || State().hidden) return;
    auto& runs = document_.paragraphs.back().runs;
    const RtfStyle& style = State().style;
    const bool join = !runs.empty() && (runs.back().style == style || run_count_ >= kRtfMaxRuns);
    if (join) {
      runs.back().text += text;
      return;
    }
    runs.push_back({std::string(text), style});
    ++run_count_;
  }

  void EndParagraph() {
    if (State().destination != Destination::kText) return;
    document_.paragraphs.emplace_back();
  }

  struct Colour {
    std::uint32_t value = 0;
    bool set = false;
  };

  std::string_view bytes_;
  std::size_t pos_ = 0;
  std::vector<GroupState> states_;
  RtfDocument document_;
  std::size_t run_count_ = 0;
  int skip_ = 0;
  char32_t high_surrogate_ = 0;
  int code_page_ = kDefaultCodePage;
  int default_font_ = 0;
  int font_ = -1;
  std::map<int, int> fonts_;
  std::vector<std::optional<std::uint32_t>> colours_;
  Colour colour_;
  std::string pending_;
  int pending_page_ = kDefaultCodePage;
  CodePages code_pages_;
};

}  // namespace

std::optional<RtfDocument> ReadRtf(std::string_view bytes) { return Reader(bytes).Run(); }

std::string PlainText(const RtfDocument& document) {
  std::string text;
  for (std::size_t i = 0; i < document.paragraphs.size(); ++i) {
    if (i > 0) text += '\n';
    for (const RtfRun& run : document.paragraphs[i].runs) text += run.text;
  }
  return text;
}

}  // namespace dravik::preview
