#include "audio/MeasureMessages.h"

#include "platform/MessageBox.h"

namespace measure_messages {

namespace {
constexpr std::size_t kMaxErrorText = 255;
}

void reportOutOfMemory(const std::exception& error) {
    std::string text = error.what();
    if (text.size() > kMaxErrorText) {
        text.resize(kMaxErrorText);
    }
    platform::showMessageBox("Error", text, platform::mb::kOk);
}

void reportReadBeyondEof(const std::string& file, const std::string& function) {
    platform::showMessageBox("Trying to read beyond EOF:", "File: " + file + "\nFunction: " + function,
                             platform::mb::kOk);
}

void reportReadError(const std::string& file) {
    platform::showMessageBox("Error", "Unable to read file: " + file, platform::mb::kIconError);
}

void reportCannotOpen(const std::string& path) {
    platform::showMessageBox("WaveOpen", "Unable to open file: " + path, platform::mb::kOk);
}

void reportCannotOpenWav(const std::string& path, const std::string& caption) {
    platform::showMessageBox(caption, "Can't open wav file: " + path, platform::mb::kOk);
}

void reportShortRecording(const std::string& path, const std::string& caption) {
    platform::showMessageBox(caption, "Read beyond EOF: " + path, platform::mb::kOk);
}

}  // namespace measure_messages
