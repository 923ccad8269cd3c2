#pragma once

#include <exception>
#include <string>

// The message boxes of the measurements on recordings.
namespace measure_messages {

// An allocation failed: the exception's text (at most 255 characters), caption "Error", no icon.
void reportOutOfMemory(const std::exception& error);

// "File: <file>\nFunction: <function>", caption "Trying to read beyond EOF:".
void reportReadBeyondEof(const std::string& file, const std::string& function);

// "Unable to read file: <file>", caption "Error", error icon.
void reportReadError(const std::string& file);

// "Unable to open file: <path>", caption "WaveOpen".
void reportCannotOpen(const std::string& path);

// "Can't open wav file: <path>" or "Read beyond EOF: <path>" under the measurement's caption.
void reportCannotOpenWav(const std::string& path, const std::string& caption);
void reportShortRecording(const std::string& path, const std::string& caption);

}  // namespace measure_messages
