#include "wizard/CProbeGuideDlg.h"

void CProbeGuideDlg::ReadSpeakerDelay() {}

void CProbeGuideDlg::OnSetDelay() {}

void CProbeGuideDlg::OnMeasureDelay() {}

void CProbeGuideDlg::OnSetDelayManually() {}

void CProbeGuideDlg::OnEraseDelay() {}

void CProbeGuideDlg::OnKeepDelay() {}
