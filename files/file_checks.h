// What a path must be before the program writes or reads a file there: a
// name without control characters, naming a regular file (or nothing yet).
// Nothing here may block: a FIFO, a device or a socket is refused, never
// opened for good.
#pragma once

#include <sys/types.h>

#include <climits>
#include <cstddef>
#include <string>
#include <vector>

// Why the name cannot be a file name ("its name holds a Tab"), or nullptr.
const char *ControlCharacterIn(const char *path);
// Why what stands at path (links followed) is no regular file ("it is a
// FIFO", "it is a device", "it is a socket", "it is a folder"), or nullptr
// when a regular file or nothing is there.
const char *NotARegularFile(const char *path);
// Why the program may not write its output at path, or nullptr. Never one of
// the files the command reads (the same file by device and inode, so another
// name or a link counts too), and never a FIFO, a device, a socket or a
// folder: what may be replaced is a regular file, and only by a new one.
const char *OutputRefused(const char *path, const std::vector<std::string> &inputs);
// What the window has open while it runs: no output of the window may land
// on any of them. A slot holds one path; nullptr or "" empties it.
enum HeldFile { kHeldReplay, kHeldRecording, kHeldStudy, kHeldFiles };
void HoldFile(HeldFile slot, const char *path);
// OutputRefused against the files the window holds now.
const char *WindowOutputRefused(const char *path);
// "KVexRecord.dat" becomes "KVexRecord-2.dat", "-3", ... the first name
// that is free. False when none is (or the name grows too long).
bool NextFreeName(const char *path, char *out, std::size_t size);
// The reason for a failed read, write or open in the operator's words.
const char *FileErrorText(int error);

// Opens a regular file for reading without waiting on whatever is there.
// Returns the descriptor, or -1 with why set.
int OpenRegularFile(const char *path, const char **why);
// Creates or opens a regular file for writing (emptied), as OpenRegularFile.
int CreateRegularFile(const char *path, const char **why);

// A save that replaces the file at path only once the new text is whole. The
// new copy is written beside the file a link names, so the link stays a
// link; the target keeps its mode and, where the saver may, its owner. A
// file with more than one name is written in place, so all names keep it.
struct SafeSave {
    char target[PATH_MAX] = "";     // the file that gets the text, links resolved
    char temporary[PATH_MAX] = "";  // the new copy beside it
    bool existed = false;
    mode_t mode = 0;
    uid_t owner = 0;
    gid_t group = 0;
    nlink_t links = 0;
};
// Checks the path and makes an empty copy to be filled (by name, in
// s.temporary). False with why set when the path cannot take the file.
bool BeginSafeSave(const char *path, SafeSave &s, const char **why);
// Puts the filled copy in place. False with why set; the old file is then
// as it was and the copy is gone.
bool FinishSafeSave(SafeSave &s, const char **why);
void AbandonSafeSave(SafeSave &s);
