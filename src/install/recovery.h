#pragma once
// The first step of every install-mode run: repairing what a killed earlier
// run left in the install folder.

namespace virelo {

// Puts an executable that a swap had moved aside back under its name when
// nothing took its place, then removes the program's own temporary and backup
// files there ("Virelo.exe.new", "Virelo.exe.old", "VireloSetup.exe.new",
// "version.txt.new"). No other file is touched. Failures are ignored: a file
// still held open goes at a later run.
void recover_interrupted_run();

}  // namespace virelo
