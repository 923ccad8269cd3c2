#include "audio/AudioEndpoints.h"

#include <optional>

namespace {

using platform::EndpointFlow;

constexpr std::string_view kWhiteSpace = " \t\n\r\v\f";

std::string trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(kWhiteSpace);
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(kWhiteSpace);
    return std::string(text.substr(first, last - first + 1));
}

EndpointFlow flowOf(int direction) {
    return direction == 0 ? EndpointFlow::Capture : EndpointFlow::Render;
}

bool contains(std::string_view name, std::string_view fragment) {
    return name.find(fragment) != std::string_view::npos;
}

}  // namespace

CAudioEndpoints::CAudioEndpoints(platform::IAudioEndpoints* enumerator) : m_pEnumerator(enumerator) {
    Refresh();
}

void CAudioEndpoints::Refresh() {
    m_speakerIndex = -1;
    m_micIndex = -1;
    m_speakerName = FindSpeakerName();
    m_micName = FindMicrophoneName();
}

int CAudioEndpoints::GetEndpointCount(int direction) {
    if (!m_pEnumerator) {
        return -1;
    }
    auto endpoints = m_pEnumerator->activeEndpoints(flowOf(direction));
    return endpoints ? static_cast<int>(endpoints.value().size()) : -1;
}

int CAudioEndpoints::GetEndpointName(int direction, int index, std::string& name) {
    name = trimmed(name);
    if (!m_pEnumerator) {
        return -1;
    }
    auto endpoints = m_pEnumerator->activeEndpoints(flowOf(direction));
    if (!endpoints || index < 0 || index >= static_cast<int>(endpoints.value().size())) {
        return -1;
    }
    name = endpoints.value()[index].friendlyName;
    return 1;
}

int CAudioEndpoints::FindEndpointIndex(int direction, std::string text) {
    std::string& cachedName = direction == 0 ? m_micName : m_speakerName;
    if (text.empty()) {
        if (cachedName.empty()) {
            cachedName = direction == 0 ? FindMicrophoneName() : FindSpeakerName();
        }
        if (cachedName.empty()) {
            return -1;
        }
        text = cachedName;
    }
    text = trimmed(text);
    if (!m_pEnumerator) {
        return -1;
    }
    auto endpoints = m_pEnumerator->activeEndpoints(flowOf(direction));
    if (!endpoints) {
        return -1;
    }
    const auto& list = endpoints.value();
    for (int index = 0; index < static_cast<int>(list.size()); ++index) {
        if (contains(trimmed(list[index].friendlyName), text)) {
            (direction == 0 ? m_micIndex : m_speakerIndex) = index;
            return index;
        }
    }
    return -1;
}

std::string CAudioEndpoints::FindSpeakerName() {
    return findName(1);
}

std::string CAudioEndpoints::FindMicrophoneName() {
    return findName(0);
}

std::string CAudioEndpoints::findName(int direction) {
    int& index = direction == 0 ? m_micIndex : m_speakerIndex;
    std::string name;
    for (const auto& fragments : SpeakerphoneNameOrder) {
        name = direction == 0 ? fragments.microphone : fragments.speaker;
        index = FindEndpointIndex(direction, name);
        if (index != -1) {
            break;
        }
    }
    if (index == -1) {
        return {};
    }
    // Should the name have become unreadable since the search, the matching fragment stands in.
    GetEndpointName(direction, index, name);
    (direction == 0 ? m_micName : m_speakerName) = name;
    return name;
}

int CAudioEndpoints::CountSpeakerphones() {
    const int count = GetEndpointCount(1);
    int speakerphones = 0;
    for (int index = 0; index < count; ++index) {
        std::string name;
        if (GetEndpointName(1, index, name) != 1) {
            continue;
        }
        for (const auto& fragments : SpeakerphoneNameOrder) {
            if (contains(name, fragments.speaker)) {
                ++speakerphones;
                break;
            }
        }
    }
    return speakerphones;
}

bool CAudioEndpoints::IsBrandSpeaker() const {
    return contains(m_speakerName, "Qnlr");
}

void CAudioEndpoints::SelectSpeakerByName(std::string name) {
    m_speakerName = name;
    m_speakerIndex = FindEndpointIndex(1, name);
}

std::string CAudioEndpoints::endpointForVolume(int direction, bool emptyNameOnFailure) {
    std::string& name = direction == 0 ? m_micName : m_speakerName;
    const int& index = direction == 0 ? m_micIndex : m_speakerIndex;
    if (name.empty()) {
        name = direction == 0 ? FindMicrophoneName() : FindSpeakerName();
        if (name.empty()) {
            return {};
        }
    }
    std::optional<std::string> id;
    if (index >= 0 && m_pEnumerator) {
        auto endpoints = m_pEnumerator->activeEndpoints(flowOf(direction));
        if (endpoints && index < static_cast<int>(endpoints.value().size())) {
            id = endpoints.value()[index].id;
        }
    }
    if (!id && emptyNameOnFailure) {
        name.clear();
    }
    return id.value_or(std::string());
}

int CAudioEndpoints::SetSpeakerVolume(int level) {
    return ApplySpeakerVolume(level, level);
}

int CAudioEndpoints::ApplySpeakerVolume(int level, int /*secondLevel*/) {
    const std::string id = endpointForVolume(1, false);
    if (id.empty()) {
        return -1;
    }
    const auto scalar = static_cast<float>(level / 65535.0);
    if (!m_pEnumerator->setVolumeScalar(EndpointFlow::Render, id, scalar)) {
        return -1;
    }
    return m_pEnumerator->setOwnStreamVolume(id, 1.0f) ? 0 : -1;
}

int CAudioEndpoints::GetSpeakerVolume() {
    return readVolume(1);
}

int CAudioEndpoints::UnmuteSpeaker() {
    return unmute(1);
}

int CAudioEndpoints::SetMicrophoneVolume(int level) {
    return ApplyMicrophoneVolume(level, level);
}

int CAudioEndpoints::ApplyMicrophoneVolume(int level, int /*secondLevel*/) {
    const std::string id = endpointForVolume(0, false);
    if (id.empty()) {
        return -1;
    }
    auto range = m_pEnumerator->volumeRangeDb(EndpointFlow::Capture, id);
    if (!range) {
        return -1;
    }
    const double minDb = range.value().minDb;
    const double maxDb = range.value().maxDb;
    const auto db = static_cast<float>(((maxDb - minDb) * level) / 65535.0 + minDb);
    return m_pEnumerator->setVolumeDb(EndpointFlow::Capture, id, db) ? 0 : -1;
}

int CAudioEndpoints::GetMicrophoneVolume() {
    return readVolume(0);
}

int CAudioEndpoints::UnmuteMicrophone() {
    return unmute(0);
}

int CAudioEndpoints::readVolume(int direction) {
    const std::string id = endpointForVolume(direction, true);
    if (id.empty()) {
        return -1;
    }
    auto scalar = m_pEnumerator->volumeScalar(flowOf(direction), id);
    if (!scalar) {
        (direction == 0 ? m_micName : m_speakerName).clear();
        return -1;
    }
    return static_cast<int>(scalar.value() * 65535.0);
}

int CAudioEndpoints::unmute(int direction) {
    const std::string id = endpointForVolume(direction, true);
    if (id.empty()) {
        return -1;
    }
    if (!m_pEnumerator->setMute(flowOf(direction), id, false)) {
        (direction == 0 ? m_micName : m_speakerName).clear();
        return -1;
    }
    return 0;
}
