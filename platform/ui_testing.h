// Test seams of the user-interface run-time. Tests answer the file dialog and
// the questions through scripts instead of a person; the program never calls
// these.
#pragma once

#include <functional>
#include <string>

// What FileSelectPopup was asked to show.
struct FileSelectRequest {
    std::string directory;    // the default directory
    std::string defaultName;  // the default file name
    std::string filter;       // e.g. "*.cfg"
    std::string title;
    int buttonLabel = 0;  // VAL_OK_BUTTON, VAL_SAVE_BUTTON, VAL_LOAD_BUTTON, ...
    bool restrictExtension = false;
    bool save = false;  // a save dialog (asks before replacing a file)
};

// Returns false for a cancelled dialog, or true with the path the person
// entered (absolute, or relative to the default directory). The layer then
// treats the answer as it treats the real dialog's: it appends the filter's
// extension where that is required and reports an existing or a new file.
using FileSelectScript = std::function<bool(const FileSelectRequest &, std::string &path)>;

// An empty script brings back the real dialog.
void SetFileSelectScript(FileSelectScript script);

// Answers ConfirmPopup and ConfirmChoicePopup: true for yes. It sees what was
// asked; MessagePopup hands it its title and message too and ignores the
// answer. While a script runs the modal pass goes on, as under a real box, so
// a script that processes events holds the "box" open. An empty script
// brings back the real boxes.
using ConfirmScript = std::function<bool(const std::string &title, const std::string &message)>;
void SetConfirmScript(ConfirmScript script);

// Hears what the numeric displays tell screen readers, as a reader would,
// with the display's widget; displays then act as if a reader listened. An
// empty listener ends that.
void SetAnnouncementListener(
    std::function<void(const void *control, const std::string &text)> listener);

// How many keystrokes or pastes the numeric control refused so far because
// its range or its kind of number could not hold them; a negative code for
// an unknown panel or control.
int NumericRefusals(int panel, int control);
