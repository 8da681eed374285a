// File services the system's C library does not offer portably. Paths are UTF-8 text: on Windows
// they are opened through the system's UTF-16 calls, so a folder named outside the system's code
// page (a Cyrillic user name) opens as any other; text that is not UTF-8 names no file there.
//
// Thread-safety: every function may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

namespace velkaro::platform {

// What a write to a file came to.
enum class FileWriteResult {
  kWritten,
  kCannotOpen,      // the file or its folder cannot be opened or created (system_error says why)
  kNotRegularFile,  // a folder, a device, a pipe or a socket: opened without waiting, not written
  kWriteFailed,     // the system reported an error while writing (a full disk)
};

// Appends `length` bytes to the file at `path` (created when missing) in one write that the
// system performs whole, so appends from several threads or processes never interleave. Text
// mode line ends: each line feed is stored as the platform's text line end (CR LF on Windows).
// Opening never waits (a pipe without a reader fails at once) and only a regular file is written:
// anything else is closed again untouched. Unless kWritten is returned the bytes are dropped;
// `system_error`, when given, receives the system's code for kCannotOpen and kWriteFailed (0
// otherwise). The file is opened so that it may be renamed while it is open (RenameReplacing).
// Allocates nothing for entries up to kAppendTextStackBytes and throws nothing.
FileWriteResult AppendTextWhole(const char* path, const char* data, std::size_t length,
                                int* system_error = nullptr) noexcept;
inline constexpr std::size_t kAppendTextStackBytes = 8 * 1024;

// Empties the regular file at `path`, creating it when missing. As AppendTextWhole, opening
// never waits and anything that is not a regular file is left as it is (kNotRegularFile).
FileWriteResult EmptyRegularFile(const char* path, int* system_error = nullptr) noexcept;

// Puts the file at `from` in the place of `to`, replacing whatever file is there. False with the
// system's code when it cannot be done.
bool RenameReplacing(const char* from, const char* to, int* system_error = nullptr) noexcept;

// What ReadRegularFile found at a path.
enum class FileReadResult {
  kRead,        // the whole file is in `contents`
  kCannotOpen,  // missing, not permitted, or not a file that can be opened (a folder on Windows)
  kNotRegularFile,  // a folder, a device, a pipe or a socket: opened without waiting, never read
  kTooLarge,        // more than the bound
  kReadFailed,      // the system reported an error while reading
};

// Reads the whole file at `path` into `contents` (bytes as stored, no line end translation),
// provided it is a regular file (a symbolic link is followed to what it names) of at most
// `max_bytes`. Opening never waits: a pipe without a writer, a device or a folder is recognised
// from the open handle and refused before any read. A file that grows past the bound while it
// is read is refused too, so at most max_bytes + 1 bytes are ever read. Unless kRead is
// returned, `contents` is empty. `system_error`, when given, receives the system's error code
// for kCannotOpen and kReadFailed (SystemErrorText gives its text; IsNotFoundError tells a
// missing file), and 0 otherwise. Throws std::bad_alloc when the buffer cannot be had (the file
// is closed all the same).
FileReadResult ReadRegularFile(const char* path, std::size_t max_bytes, std::string& contents,
                               int* system_error = nullptr);

// Reads the first bytes of the regular file at `path`: at most `capacity` of them into `buffer`,
// their count into `*length`. Opening never waits and only a regular file is read, as for
// ReadRegularFile, whose results and error codes it shares (kTooLarge never comes).
FileReadResult ReadFileStart(const char* path, char* buffer, std::size_t capacity,
                             std::size_t* length, int* system_error = nullptr) noexcept;

// std::fopen for a UTF-8 path (on Windows the C library's own takes the system's code page).
std::FILE* OpenFile(const char* path, const char* mode);

// A short description of a result for log lines, e.g. "is not a regular file".
inline const char* FileReadResultText(FileReadResult result) {
  switch (result) {
    case FileReadResult::kRead:
      return "was read";
    case FileReadResult::kCannotOpen:
      return "cannot be opened";
    case FileReadResult::kNotRegularFile:
      return "is not a regular file";
    case FileReadResult::kTooLarge:
      return "is too large";
    case FileReadResult::kReadFailed:
      return "cannot be read";
  }
  return "cannot be read";
}

}  // namespace velkaro::platform
