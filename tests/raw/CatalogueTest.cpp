// The File Trace catalogue: the Raw.dat the build makes from data/ read back
// as its source lists it, odd catalogue files, and the choice made from them.

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "raw/Catalogue.h"

namespace dravik {
namespace {

// A record as Raw.dat holds it.
std::vector<std::uint8_t> Record(char category, const std::string& extension, const std::string& type,
                                 const std::vector<std::uint8_t>& signature, const std::vector<std::uint8_t>& extra) {
  std::vector<std::uint8_t> out = {0, 0, static_cast<std::uint8_t>(category)};
  const std::string length = std::to_string(signature.size());
  using V = std::vector<std::uint8_t>;
  for (const V& field : {V(extension.begin(), extension.end()), V(type.begin(), type.end()),
                         V(length.begin(), length.end()), signature, extra}) {
    out.insert(out.end(), {static_cast<std::uint8_t>(field.size()), 0});
    out.insert(out.end(), field.begin(), field.end());
  }
  return out;
}

std::vector<std::uint8_t> Join(std::initializer_list<std::vector<std::uint8_t>> records) {
  std::vector<std::uint8_t> out;
  for (const auto& r : records) out.insert(out.end(), r.begin(), r.end());
  return out;
}

const auto kZip = Record('0', ".zip", "ZIP Archive", {0x50, 0x4B, 0x03, 0x04}, {0x12});
const auto kGz = Record('0', ".gz", "GZIP", {0x1F, 0x8B}, {0x1A});

TEST(CatalogueTest, TheBuiltCatalogueHoldsEveryTypeOfItsSource) {
  const auto catalogue = LoadCatalogue(DRAVIK_RAW_DAT);
  ASSERT_TRUE(catalogue);
  std::ifstream source(DRAVIK_RAW_SOURCE);
  std::size_t i = 0;
  std::vector<std::string> categoriesSeen;
  for (std::string line; std::getline(source, line);) {
    if (line.empty() || line[0] == '#') continue;
    SCOPED_TRACE(line);
    std::vector<std::string> f;
    std::stringstream split(line);
    for (std::string field; std::getline(split, field, '\t');) f.push_back(field);
    ASSERT_EQ(f.size(), 5u);
    ASSERT_LT(i, catalogue->entries.size());
    const CatalogueEntry& e = catalogue->entries[i++];
    EXPECT_EQ(std::string(1, e.category) + e.extension + "|" + e.typeName, f[0] + f[1] + "|" + f[2]);
    // A signature further into the sector keeps its offset ("@N") in the length field.
    const std::size_t at = f[3].find('@');
    const std::string hex = f[3].substr(0, at), offset = at == std::string::npos ? "" : f[3].substr(at);
    EXPECT_EQ(e.signature, hex);
    EXPECT_EQ(e.signatureLength, std::to_string(hex.size() / 2) + offset);
    EXPECT_EQ(LeadingDecimal(e.signatureLength), hex.size() / 2);
    EXPECT_EQ(SignatureOffsetOf(e.signatureLength), offset.empty() ? 0u : std::stoul(offset.substr(1)));
    const std::string name = CategoryName(f[0][0]);
    if (std::find(categoriesSeen.begin(), categoriesSeen.end(), name) == categoriesSeen.end())
      categoriesSeen.push_back(name);
  }
  EXPECT_EQ(i, catalogue->entries.size());
  EXPECT_GE(i, 100u);
  std::vector<std::string> categories;
  for (const CatalogueCategory& c : catalogue->categories) categories.push_back(c.name);
  EXPECT_EQ(categories, categoriesSeen) << "one item per category, in the order of first use";
  EXPECT_EQ(categories.size(), 10u);
}

TEST(CatalogueTest, OddFilesAreReadAsFarAsTheyGo) {
  EXPECT_TRUE(ReadCatalogue({}).entries.empty() && ReadCatalogue({}).categories.empty());
  const Catalogue c = ReadCatalogue(Join({kZip, kGz, Record('4', "", "No Item", {0xFF}, {})}));
  ASSERT_EQ(c.entries.size(), 3u);
  ASSERT_EQ(c.categories.size(), 1u) << "a record without extension has no item, nor its category";
  EXPECT_EQ(c.categories[0].items, (std::vector<std::size_t>{0, 1}));
  EXPECT_EQ(c.entries[0].signature + "/" + c.entries[0].extra, "504B0304/12");
  // Cut inside the second record's type name: read with what is left.
  std::vector<std::uint8_t> cut = Join({kZip, kGz});
  cut.resize(kZip.size() + 3 + 2 + 3 + 2 + 2);
  const Catalogue part = ReadCatalogue(cut);
  ASSERT_EQ(part.entries.size(), 2u);
  EXPECT_EQ(part.entries[1].extension + "|" + part.entries[1].typeName + "|" + part.entries[1].signature, ".gz|GZ|");
  EXPECT_EQ(CategoryName('X'), "X");
}

TEST(CatalogueTest, ConfirmingAppendsAGroupPerEntryOfEachCheckedExtension) {
  const auto empty = Record('0', ".zip", "Empty ZIP", {0x50, 0x4B, 0x05, 0x06}, {0x1A});
  const Catalogue c = ReadCatalogue(Join({kZip, kGz, empty}));
  TraceChoice choice;
  EXPECT_FALSE(ConfirmTypes(c, {}, 5, choice)) << "nothing checked";
  EXPECT_EQ(choice.carveSizeMiB, 0u);
  const std::vector<std::size_t> checked = {0};
  ASSERT_TRUE(ConfirmTypes(c, checked, 5, choice));
  ASSERT_EQ(choice.groups.size(), 2u) << "both entries named .zip";
  EXPECT_EQ(choice.groups[0].typeName + u"|" + choice.groups[1].typeName, u"ZIP Archive|Empty ZIP");
  EXPECT_EQ(choice.groups[0].signatureLength, 4u);
  EXPECT_EQ(choice.groups[0].extraValue, 12u) << "the hexadecimal text read as decimal";
  EXPECT_EQ(choice.groups[1].extraValue, 1u) << "a letter ends the number";
  EXPECT_EQ(choice.carveSizeMiB, 5u);
  ASSERT_TRUE(ConfirmTypes(c, checked, 25, choice));
  EXPECT_EQ(choice.groups.size(), 4u) << "confirmed twice: appended twice";
  EXPECT_EQ(choice.carveSizeMiB, 25u);

  EXPECT_EQ(CarveSizeEntries().size(), 26u);
  EXPECT_EQ(CarveSizeEntries().back(), "50 MB");
  EXPECT_EQ(CarveSizeOfEntry(20), 25u);
  EXPECT_EQ(PreselectedCarveEntry(0), 1u) << "\"2 MB\" before any choice";
  EXPECT_EQ(PreselectedCarveEntry(25), 20u) << "the last choice";
}

}  // namespace
}  // namespace dravik
