// Confinement of client paths to the configured roots.

#include <gtest/gtest.h>

#include "platform/Paths.h"
#include "server/Confinement.h"
#include "support/TestSupport.h"

namespace {

const std::string kSep(1, platform::kPathDelimiter);

class Confinement : public ::testing::Test {
 protected:
  void SetUp() override {
    vtest::fs::create_directories(dir.path() / "data" / "sub");
    vtest::fs::create_directories(dir.path() / "data2");
    vtest::fs::create_directories(dir.path() / "outside");
    root = dir.File("data");
    roots = {root};
  }

  vtest::TempDir dir;
  std::string root;
  std::vector<std::string> roots;
};

TEST_F(Confinement, NoRootsServesEveryPath) {
  roots.clear();
  EXPECT_TRUE(IsInsideRoots(roots, dir.File("outside") + kSep + "f"));
  EXPECT_TRUE(IsInsideRoots(roots, ""));
}

TEST_F(Confinement, NamesInsideTheRootAndBelowIt) {
  EXPECT_TRUE(IsInsideRoots(roots, root + kSep + "f.bin"));
  EXPECT_TRUE(IsInsideRoots(roots, root + kSep + "sub" + kSep + "f.bin"));
  EXPECT_TRUE(IsInsideRoots(roots, root + kSep + "new" + kSep + "deeper" + kSep + "f.bin"));  // not there yet
  EXPECT_TRUE(IsInsideRoots(roots, root));
  roots = {root + kSep};  // a trailing separator changes nothing
  EXPECT_TRUE(IsInsideRoots(roots, root + kSep + "f.bin"));
  EXPECT_FALSE(IsInsideRoots(roots, dir.File("outside") + kSep + "f.bin"));
}

TEST_F(Confinement, DotDotEscapesAreRefused) {
  EXPECT_FALSE(IsInsideRoots(roots, root + kSep + ".." + kSep + "outside" + kSep + "f"));
  EXPECT_FALSE(IsInsideRoots(roots, root + kSep + "sub" + kSep + ".." + kSep + ".." + kSep + "f"));
  // Through a directory that does not exist yet, as an upload would create it.
  EXPECT_FALSE(IsInsideRoots(roots, root + kSep + "new" + kSep + ".." + kSep + ".." + kSep + "outside" + kSep + "f"));
  EXPECT_TRUE(IsInsideRoots(roots, root + kSep + "sub" + kSep + ".." + kSep + "f"));
  EXPECT_TRUE(IsInsideRoots(roots, root + kSep + "." + kSep + "f"));
}

TEST_F(Confinement, ASiblingThatSharesTheRootsNameIsOutside) {
  EXPECT_FALSE(IsInsideRoots(roots, dir.File("data2") + kSep + "f"));
  EXPECT_FALSE(IsInsideRoots(roots, dir.File("data2")));
}

TEST_F(Confinement, SeveralRootsSeparatedBySemicolons) {
  EXPECT_EQ(SplitRoots(" a ;b;; c\t;"), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_TRUE(SplitRoots("").empty());
  roots = SplitRoots(root + ";" + dir.File("outside"));
  EXPECT_TRUE(IsInsideRoots(roots, dir.File("outside") + kSep + "f"));
  EXPECT_FALSE(IsInsideRoots(roots, dir.File("data2") + kSep + "f"));
}

#ifdef _WIN32
TEST_F(Confinement, WindowsNamesIgnoreLetterCaseAndDriveForms) {
  std::string upper = root, lower = root;
  for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  EXPECT_TRUE(IsInsideRoots(roots, upper + "\\f.bin"));
  EXPECT_TRUE(IsInsideRoots(roots, lower + "\\sub\\f.bin"));
  EXPECT_TRUE(IsInsideRoots(roots, root + "/sub/f.bin"));  // forward slashes are Windows separators too
  EXPECT_FALSE(IsInsideRoots(roots, upper + "\\..\\outside\\f"));

  roots = {"\\\\server\\share"};
  EXPECT_TRUE(IsInsideRoots(roots, "\\\\SERVER\\Share\\dir\\f.bin"));
  EXPECT_FALSE(IsInsideRoots(roots, "\\\\server\\share2\\f.bin"));
  EXPECT_FALSE(IsInsideRoots(roots, "\\\\server\\other\\f.bin"));
  EXPECT_FALSE(IsInsideRoots(roots, "\\\\elsewhere\\share\\f.bin"));
}

// Forms whose target the path text does not tell are refused inside a root
// too: device and verbatim prefixes, alternate data streams, device names
// as any component, and "." or ".." left over.
TEST_F(Confinement, WindowsFormsThatCannotBeReasonedAboutAreRefused) {
  const std::string inside = root + "\\sub\\f.bin";
  ASSERT_TRUE(IsInsideRoots(roots, inside));
  for (const std::string& name :
       {"\\\\?\\" + inside, "\\\\.\\" + inside, "//?/" + inside, "//./" + inside, inside + ":hidden",
        inside + "::$DATA", root + "\\sub:stream\\f.bin", root + "\\CON", root + "\\nul.txt",
        root + "\\Com1\\f.bin", root + "\\sub\\LPT9", root + "\\aux .log", root + "\\sub\\...\\f.bin",
        root + "\\sub\\. .\\f.bin"})
    EXPECT_FALSE(IsInsideRoots(roots, name)) << name;
  // Names that merely look alike stay allowed.
  for (const std::string& name : {root + "\\console.txt", root + "\\COM10", root + "\\sub\\.hidden"})
    EXPECT_TRUE(IsInsideRoots(roots, name)) << name;
}
#else
TEST_F(Confinement, LinksAreFollowedWhereverTheyLead) {
  vtest::fs::create_directory_symlink(dir.path() / "outside", dir.path() / "data" / "escape");
  vtest::fs::create_symlink(dir.path() / "outside" / "missing", dir.path() / "data" / "dangling");
  vtest::fs::create_directory_symlink(dir.path() / "data" / "sub", dir.path() / "outside" / "in");
  EXPECT_FALSE(IsInsideRoots(roots, root + "/escape/f.bin"));
  EXPECT_FALSE(IsInsideRoots(roots, root + "/dangling"));  // creating it would write outside
  // ".." after a link climbs from where the link led, as the system does.
  EXPECT_FALSE(IsInsideRoots(roots, root + "/escape/../outside/f"));  // not root/outside/f
  EXPECT_TRUE(IsInsideRoots(roots, dir.File("outside") + "/in/f.bin"));
  // A root that is itself a link counts where it leads.
  roots = {dir.File("outside") + "/in"};
  EXPECT_TRUE(IsInsideRoots(roots, root + "/sub/f.bin"));
}

// Names that exist are resolved by the system in one step, the others
// component by component: both ways must reach the same verdicts.
TEST_F(Confinement, LinksToExistingFilesAreFollowedToo) {
  vtest::WriteAll(dir.File("outside") + "/f.bin", "x");
  vtest::WriteAll(root + "/sub/f.bin", "x");
  vtest::fs::create_directory_symlink(dir.path() / "outside", dir.path() / "data" / "escape");
  vtest::fs::create_symlink(dir.path() / "outside" / "f.bin", dir.path() / "data" / "alias.bin");
  vtest::fs::create_directory_symlink(dir.path() / "data" / "sub", dir.path() / "outside" / "in");
  EXPECT_FALSE(IsInsideRoots(roots, root + "/escape/f.bin"));
  EXPECT_FALSE(IsInsideRoots(roots, root + "/alias.bin"));
  EXPECT_FALSE(IsInsideRoots(roots, root + "/escape/../outside/f.bin"));
  EXPECT_TRUE(IsInsideRoots(roots, dir.File("outside") + "/in/f.bin"));
  EXPECT_TRUE(IsInsideRoots(roots, root + "/sub/../sub/f.bin"));
  // A file's digest record stays the server's own behind a link, with or
  // without roots.
  vtest::WriteAll(root + "/sub/.f.bin.vardex-digests", "record");
  vtest::fs::create_symlink(dir.path() / "data" / "sub" / ".f.bin.vardex-digests", dir.path() / "data" / "record");
  EXPECT_FALSE(IsInsideRoots(roots, root + "/record"));
  roots.clear();
  EXPECT_FALSE(IsInsideRoots(roots, root + "/record"));
  EXPECT_TRUE(IsInsideRoots(roots, root + "/alias.bin"));
}

TEST_F(Confinement, RelativeNamesStartFromTheWorkingDirectory) {
  auto saved = vtest::fs::current_path();
  vtest::fs::current_path(dir.path() / "data");
  EXPECT_TRUE(IsInsideRoots(roots, "sub/f.bin"));
  EXPECT_FALSE(IsInsideRoots(roots, "../outside/f.bin"));
  vtest::fs::current_path(saved);
}
#endif

}  // namespace
