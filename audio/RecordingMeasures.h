#pragma once

#include <cstdint>
#include <memory>
#include <string>

class CWaveFileReader;

// The measurements the echo test makes on its WAV recordings: which channel carries the far-end
// signal, the speaker delay, the levels and the echo figures. Each reports its failures in message
// boxes in the system's own words and returns the failure value the engine's callers expect.
namespace recording_measures {

// Which channel (1 or 2) of `recordFile` carries the signal of `playFile`, or -1.
int getFEChannel(const std::string& playFile, const std::string& recordFile);

// The speaker delay between the channels of `recordFile` (1 the reference, 2 the microphone), in
// decimated values, or -1.
int measureDelay(const std::string& recordFile);

// Level in dB of `count` bytes of one channel (0 of a one-channel file, 1 the first of a
// two-channel file) from `offset` bytes of that channel; whole samples only. 0.0 after a read
// failure that it has reported.
float calcRms(CWaveFileReader& reader, int channel, std::uint32_t offset, std::uint32_t count);

// Echo-reduction figures of the recording at `path`: 1 for pass, 0 for fail or an unopened file
// (total then 0.0, lms untouched). `analysisReader` is the engine's reader slot, empty on return.
int calcEchoReduction(std::unique_ptr<CWaveFileReader>& analysisReader, const std::string& path, double& lms,
                      double& total);

// Residual echo of the recording at `path`: 1 for pass, 0 for fail or an unopened file.
int calcResidualEcho(std::unique_ptr<CWaveFileReader>& analysisReader, const std::string& path,
                     double& residual);

// Why the echo recording at `path` (named `name` in the text) gives no echo figures: it cannot
// be read, it is shorter than the windows the figures measure (reduction: A, B and C; else the
// residual window), or its microphone or far end did not work. With stages (`echoReduction`)
// the figures' channel and, in a two-channel recording, the far-end channel must hold sound in
// window A, before the first stage command; otherwise somewhere in the recording. Silence the
// canceller leaves after that is a level the figures judge. Empty when the figures can be taken.
// Shows nothing.
std::string echoSoundFault(const std::string& path, const std::string& name, bool echoReduction);

// The standard echo recording in the data folder: "WaveFiles/Echo_Test.wav" after it, with the
// separator added when the folder lacks it.
std::string echoRecordingPath(const std::string& dataDirectory);

// Replaces the reader in `reader` by a new one open on `path`; false after its message box.
bool waveOpen(std::unique_ptr<CWaveFileReader>& reader, const std::string& path);

}  // namespace recording_measures
