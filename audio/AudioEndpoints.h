#pragma once

#include <array>
#include <string>
#include <string_view>

#include "platform/AudioEndpoints.h"

// One row of the name fragments that identify a speakerphone's endpoints.
struct SpeakerphoneFragments {
    std::string_view speaker;     // in a render endpoint's friendly name
    std::string_view microphone;  // in a capture endpoint's friendly name
};

// The fragments tried, in this order, when looking for the unit's endpoints.
inline constexpr std::array<SpeakerphoneFragments, 6> SpeakerphoneNameOrder{{
    {"Qnlr", "Qnlr"},
    {"AK4571", "AK4571"},
    {"GL 400/800", "GL 400/800"},
    {"Varnholt HCD300", "Varnholt HCD300"},
    {"Varnholt H880", "Varnholt H880"},
    {"Echo Cancelling Speakerphone (P", "Echo Cancelling Speakerphone"},
}};

// Finds the speakerphone's speaker (a render endpoint) and microphone (a capture endpoint) by
// their friendly names and reads and sets their volumes and mute. It keeps only the two names
// and their positions among the active endpoints; every call enumerates afresh.
//
// Directions: 1 the render endpoints (speaker), 0 the capture endpoints (microphone).
// Levels: 0 to 65535. Failures are results (-1, empty names); nothing is thrown or shown.
// Used from one thread only.
class CAudioEndpoints {
public:
    // enumerator may be null: then no endpoint is ever found.
    explicit CAudioEndpoints(platform::IAudioEndpoints* enumerator);

    void Refresh();
    int GetEndpointCount(int direction);
    int GetEndpointName(int direction, int index, std::string& name);
    int FindEndpointIndex(int direction, std::string text);
    std::string FindSpeakerName();
    std::string FindMicrophoneName();
    int CountSpeakerphones();
    bool IsBrandSpeaker() const;
    std::string GetSpeakerName() const { return m_speakerName; }
    std::string GetMicrophoneName() const { return m_micName; }
    void SelectSpeakerByName(std::string name);

    int SetSpeakerVolume(int level);
    int ApplySpeakerVolume(int level, int secondLevel);
    int GetSpeakerVolume();
    int UnmuteSpeaker();
    int SetMicrophoneVolume(int level);
    int ApplyMicrophoneVolume(int level, int secondLevel);
    int GetMicrophoneVolume();
    int UnmuteMicrophone();

    int speakerIndex() const { return m_speakerIndex; }
    int microphoneIndex() const { return m_micIndex; }

private:
    std::string findName(int direction);
    // The scalar volume on the wizard's scale, or -1; a failure forgets the endpoint's name.
    int readVolume(int direction);
    int unmute(int direction);
    // The id of the speaker (direction 1) or microphone endpoint for a volume operation, found
    // again when its name is not known; empty when it cannot be reached.
    std::string endpointForVolume(int direction, bool emptyNameOnFailure);

    platform::IAudioEndpoints* m_pEnumerator;
    std::string m_micName;
    std::string m_speakerName;
    int m_speakerIndex = -1;
    int m_micIndex = -1;
};
