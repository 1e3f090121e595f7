#pragma once
// The first step of every install-mode run: repairing what a killed earlier
// run left in the install folder.

namespace virelo {

// Puts an executable that a swap had moved aside back under its name when
// nothing took its place, then removes the program's own temporary files
// there ("Virelo.exe.new", "VireloSetup.exe.new", "version.txt.new",
// "VireloSetup.exe.removing") and the backup "Virelo.exe.setup-old", the
// backup only while "Virelo.exe" is there. No other file is touched (a
// user's own "Virelo.exe.old" included). Failures are ignored: a file still
// held open goes at a later run.
void recover_interrupted_run();

}  // namespace virelo
