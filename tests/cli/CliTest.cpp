// The dravik command as a user runs it: output, exit codes and messages.

#include <gtest/gtest.h>

#include "TestFiles.h"

namespace dravik {
namespace {

using test::Fixture;
using test::Quote;
using test::RunShell;

using test::Dravik;

// The value text of "key": in a flat JSON object (qemu-img puts blanks after colons).
std::string Field(const std::string& text, const std::string& key) {
  const auto at = text.find("\"" + key + "\":");
  if (at == std::string::npos) return "missing";
  const auto from = text.find_first_not_of(" ", at + key.size() + 3);
  return text.substr(from, text.find_first_of(",}\n", from) - from);
}

TEST(CliInfoTest, TextLinesForVhdAndVhdx) {
  auto result = RunShell(Dravik("info " + Quote(Fixture("vhd-dynamic.vhd"))));
  ASSERT_EQ(result.status, 0);
  EXPECT_NE(result.out.find("Model\t\t\t: Virtual Hard Disk\n"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("MB (Approx)\n"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("Cylinders\t\t: "), std::string::npos) << result.out;

  result = RunShell(Dravik("info " + Quote(Fixture("vhdx-10g.vhdx"))));
  ASSERT_EQ(result.status, 0);
  EXPECT_NE(result.out.find("Capacity\t\t: 10240 MB \n"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("Disk Type\t\t: Dynamic Disk\n"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("Virtual Size\t\t: 10737418240 bytes\n"), std::string::npos) << result.out;
}

TEST(CliInfoTest, JsonAgreesWithQemuImgInfo) {
  const auto image = Fixture("vhdx-dynamic-32m.vhdx");
  // Options may stand before the image path.
  const auto json = RunShell(Dravik("info --json " + Quote(image)));
  ASSERT_EQ(json.status, 0);
  const auto qemu = RunShell("qemu-img info -f vhdx --output=json " + Quote(image));
  ASSERT_EQ(qemu.status, 0);
  EXPECT_EQ(Field(json.out, "format"), "\"VHDX\"");
  EXPECT_EQ(Field(json.out, "diskType"), "\"Dynamic Disk\"");
  EXPECT_EQ(Field(json.out, "virtualSize"), Field(qemu.out, "virtual-size"));
  EXPECT_EQ(Field(json.out, "blockSize"), Field(qemu.out, "cluster-size"));
  EXPECT_EQ(Field(json.out, "chunkRatio"), "128");

  const auto vhdImage = Fixture("vhd-dynamic.vhd");
  const auto vhd = RunShell(Dravik("info " + Quote(vhdImage) + " --json"));
  ASSERT_EQ(vhd.status, 0);
  const auto qemuVhd = RunShell("qemu-img info -f vpc --output=json " + Quote(vhdImage));
  EXPECT_EQ(Field(vhd.out, "format"), "\"VHD\"");
  EXPECT_EQ(Field(vhd.out, "diskType"), "\"Dynamic Disk\"");
  EXPECT_EQ(Field(vhd.out, "virtualSize"), Field(qemuVhd.out, "virtual-size"));
  EXPECT_EQ(Field(vhd.out, "blockSize"), Field(qemuVhd.out, "cluster-size"));
}

TEST(CliCatTest, WritesTheVirtualDiskAsQemuReadsIt) {
  const auto image = Fixture("vhd-dynamic.vhd");
  EXPECT_EQ(RunShell(Dravik("cat " + Quote(image)) + " | cmp - " + Quote(image.string() + ".raw")).status, 0);
  // A range, with the options after the image path.
  const std::string slice = " | cmp - <(tail -c +2097146 " + Quote(image.string() + ".raw") + " | head -c 5000)";
  EXPECT_EQ(RunShell("bash -c " + Quote(Dravik("cat " + Quote(image) + " --offset 2097145 --length 5000") + slice))
                .status,
            0);
}

TEST(CliCatTest, ReadingPastTheEndFails) {
  const auto image = Fixture("vhdx-dynamic-1m.vhdx");
  const auto result = RunShell(Dravik("cat --offset 0x10000000 --length 512 " + Quote(image)) + " 2>&1 >/dev/null");
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.out.find("cannot read"), std::string::npos) << result.out;
}

TEST(CliUsageTest, WrongUsageAndUnopenableFiles) {
  EXPECT_EQ(RunShell(Dravik("2>/dev/null")).status, 2);
  EXPECT_EQ(RunShell(Dravik("frobnicate x.vhd 2>/dev/null")).status, 2);
  EXPECT_EQ(RunShell(Dravik("info 2>/dev/null")).status, 2);
  EXPECT_EQ(RunShell(Dravik("info a.vhd b.vhd 2>/dev/null")).status, 2);
  EXPECT_EQ(RunShell(Dravik("info --bogus a.vhd 2>/dev/null")).status, 2);
  EXPECT_EQ(RunShell(Dravik("cat --offset -5 a.vhd 2>/dev/null")).status, 2);
  EXPECT_EQ(RunShell(Dravik("cat --length 2>/dev/null")).status, 2);

  test::TempDir dir;
  test::WriteFileBytes(dir / "broken.vhdx", std::vector<std::uint8_t>(4096, 0));
  auto result = RunShell(Dravik("info " + Quote(dir / "broken.vhdx") + " 2>&1"));
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "dravik: " + (dir / "broken.vhdx").string() +
                            ": not a VHDX image: no VHDX structure was found: the file has no \"vhdxfile\" identifier, "
                            "no valid header and no region table\n"
                            "This VHDX file is highly corrupted or Invalid file type. Please select other file to recover.\n");
  result = RunShell(Dravik("info " + Quote(dir / "missing.vhd") + " 2>&1"));
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, (dir / "missing.vhd").string() + " file does not exists.\n");
}

TEST(CliUsageTest, HelpExplainsEveryOption) {
  const auto top = RunShell(Dravik("--help"));
  EXPECT_EQ(top.status, 0);
  EXPECT_NE(top.out.find("info"), std::string::npos);
  EXPECT_NE(top.out.find("cat"), std::string::npos);
  const auto cat = RunShell(Dravik("cat --help"));
  EXPECT_EQ(cat.status, 0);
  for (const char* option : {"--offset", "--length", "--verbose"}) EXPECT_NE(cat.out.find(option), std::string::npos);
  const auto info = RunShell(Dravik("info --help"));
  EXPECT_EQ(info.status, 0);
  EXPECT_NE(info.out.find("--json"), std::string::npos);
}

}  // namespace
}  // namespace dravik
