#include "wizard/CProbeGuideDlg.h"

void CProbeGuideDlg::OnVScroll(QSlider*) {}

void CProbeGuideDlg::LoadVolumes() {}

void CProbeGuideDlg::SetDefaultVolumes() {}

void CProbeGuideDlg::FillPlaybackDevices() {}

void CProbeGuideDlg::OnPlaybackDeviceChange() {}

void CProbeGuideDlg::ReselectSpeaker() {}
