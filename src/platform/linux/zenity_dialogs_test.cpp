#include "platform/linux/zenity_dialogs.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "support/temp_dir.h"

namespace kv::platform::linux_backend {
namespace {

using kv::test::readFile;
using kv::test::TempDir;
using kv::test::writeFile;

// Writes an executable shell script standing in for the dialog program.
std::string writeScript(const TempDir& dir, const std::string& body) {
  const std::string path = dir / "dialog.sh";
  writeFile(path, "#!/bin/sh\n" + body);
  ::chmod(path.c_str(), 0755);
  return path;
}

TEST(FileDialogArguments, SaveAndOpen) {
  EXPECT_EQ(fileDialogArguments(FileDialogKind::Save, "config_eu_20260307_140509.zip", "ZIP File",
                                "*.zip"),
            (std::vector<std::string>{"--file-selection", "--save", "--confirm-overwrite",
                                      "--filename=config_eu_20260307_140509.zip",
                                      "--file-filter=ZIP File | *.zip"}));
  EXPECT_EQ(fileDialogArguments(FileDialogKind::Open, "", "Zip Files (*.zip)", "*.zip"),
            (std::vector<std::string>{"--file-selection", "--file-filter=Zip Files (*.zip) | *.zip"}));
  // With the launcher's window the dialog is attached to it.
  EXPECT_EQ(fileDialogArguments(FileDialogKind::Open, "", "ZIP File", "*.zip", 0x2c00007),
            (std::vector<std::string>{"--file-selection", "--file-filter=ZIP File | *.zip",
                                      "--attach=46137351"}));
}

TEST(RunFileDialog, AnswersByExitStatusAndOutput) {
  TempDir dir;
  const std::string existing = dir / "chosen archive.zip";
  writeFile(existing, "zip");
  struct Case {
    const char* name;
    FileDialogKind kind;
    std::string body;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"save answer", FileDialogKind::Save, "printf '/x/out.zip\\n'\n", "/x/out.zip"},
      {"save answer without newline", FileDialogKind::Save, "printf '/x/out'\n", "/x/out"},
      {"only one newline stripped", FileDialogKind::Save, "printf '/x/a\\n\\n'\n", "/x/a\n"},
      {"empty answer", FileDialogKind::Save, "exit 0\n", std::nullopt},
      {"bare newline", FileDialogKind::Save, "printf '\\n'\n", std::nullopt},
      {"cancel", FileDialogKind::Save, "exit 1\n", std::nullopt},
      {"answer with failure status", FileDialogKind::Save, "printf '/x/out.zip\\n'; exit 5\n",
       std::nullopt},
      {"killed", FileDialogKind::Save, "printf '/x/out.zip\\n'; kill -9 $$\n", std::nullopt},
      {"open existing", FileDialogKind::Open, "printf '%s\\n' '" + existing + "'\n", existing},
      {"open missing", FileDialogKind::Open, "printf '%s\\n' '" + (dir / "gone.zip") + "'\n",
       std::nullopt},
      {"slow answer", FileDialogKind::Save, "sleep 0.3; printf '/x/slow\\n'\n", "/x/slow"},
      {"slow exit after the answer", FileDialogKind::Save,
       "printf '/x/late\\n'; exec >&-; sleep 0.3\n", "/x/late"},
  };
  for (const Case& c : cases) {
    const std::string script = writeScript(dir, c.body);
    EXPECT_EQ(runFileDialog(script, c.kind, {}), c.expected) << c.name;
    // Waiting with the window looked after answers the same; a dialog that
    // takes its time lets the window be looked after meanwhile.
    int turns = 0;
    int seenPid = 0;
    EXPECT_EQ(runFileDialog(script, c.kind, {}, [&turns, &seenPid](int pid) {
                ++turns;
                seenPid = pid;
              }),
              c.expected)
        << c.name;
    if (c.body.find("sleep") != std::string::npos) {
      EXPECT_GT(turns, 0) << c.name;
      EXPECT_GT(seenPid, 0) << c.name << ": told the dialog's process";
    }
  }
}

TEST(RunFileDialog, PassesArgumentsAndDialogEnvironment) {
  TempDir dir;
  ::setenv("GSETTINGS_BACKEND", "dconf", 1);
  const std::string script = writeScript(
      dir, "printf '%s\\n' \"$@\" > '" + (dir / "args") + "'\nprintf '%s|%s' \"$NO_AT_BRIDGE\" " +
               "\"$GSETTINGS_BACKEND\" > '" + (dir / "env") + "'\n" +
               "printf '/x\\n'\n");
  const std::vector<std::string> arguments =
      fileDialogArguments(FileDialogKind::Save, "a b.zip", "ZIP File", "*.zip");
  EXPECT_EQ(runFileDialog(script, FileDialogKind::Save, arguments), "/x");
  ::unsetenv("GSETTINGS_BACKEND");
  EXPECT_EQ(readFile(dir / "args"),
            "--file-selection\n--save\n--confirm-overwrite\n--filename=a b.zip\n"
            "--file-filter=ZIP File | *.zip\n");
  EXPECT_EQ(readFile(dir / "env"), "1|memory");
}

TEST(RunFileDialog, MissingProgramIsACancel) {
  TempDir dir;
  EXPECT_EQ(runFileDialog(dir / "no-such-dialog", FileDialogKind::Open, {}), std::nullopt);
  EXPECT_EQ(runFileDialog("kv-no-such-dialog-program", FileDialogKind::Save, {}), std::nullopt);
}

}  // namespace
}  // namespace kv::platform::linux_backend
