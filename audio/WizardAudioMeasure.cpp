// The engine's measurements on recordings: far-end channel, speaker delay, levels and echo figures.
#include "audio/CWizardAudio.h"
#include "audio/DelayEstimator.h"
#include "audio/MeasureMessages.h"
#include "audio/RecordingMeasures.h"

int CWizardAudio::EstimateDelay(std::span<const std::int16_t> reference,
                                std::span<const std::int16_t> microphone, int rate, int segments, int& delay,
                                double& coherence) {
    return delay_estimator::estimateDelay(reference, microphone, rate, segments, delay, coherence);
}

void CWizardAudio::ComplexMultiply(const double* a, const double* b, double* out, int n, bool conjugate) {
    delay_estimator::complexMultiply(a, b, out, n, conjugate);
}

int CWizardAudio::GetFEChannel() {
    return recording_measures::getFEChannel(m_playFile, m_recordFile);
}

int CWizardAudio::MeasureDelay() {
    return recording_measures::measureDelay(m_recordFile);
}

float CWizardAudio::CalcRMS(CWaveFileReader& reader, int channel, std::uint32_t offset, std::uint32_t count) {
    return recording_measures::calcRms(reader, channel, offset, count);
}

int CWizardAudio::CalcEchoReduction(const std::string& path, double& lms, double& total) {
    return recording_measures::calcEchoReduction(m_pAnalysisReader, path, lms, total);
}

int CWizardAudio::CalcResidualEcho(const std::string& path, double& residual) {
    return recording_measures::calcResidualEcho(m_pAnalysisReader, path, residual);
}

int CWizardAudio::TestEchoReduction(const IDataFolder& folder, double& lms, double& total) {
    return CalcEchoReduction(recording_measures::echoRecordingPath(folder.dataDirectory()), lms, total);
}

int CWizardAudio::TestResidualEcho(const IDataFolder& folder, double& residual) {
    return CalcResidualEcho(recording_measures::echoRecordingPath(folder.dataDirectory()), residual);
}

bool CWizardAudio::WaveOpen(std::unique_ptr<CWaveFileReader>& reader, const std::string& path) {
    return recording_measures::waveOpen(reader, path);
}

void CWizardAudio::ReportReadBeyondEOF(const std::string& file, const std::string& function) {
    measure_messages::reportReadBeyondEof(file, function);
}

void CWizardAudio::ReportReadError(const std::string& file) {
    measure_messages::reportReadError(file);
}
