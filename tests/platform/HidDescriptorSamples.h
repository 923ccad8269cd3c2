#pragma once

#include <array>
#include <cstdint>

// Report descriptors of real kinds of devices, written out item by item.
namespace platform::samples {

// A vendor-page interface with 8-byte input and output reports, as speakerphones declare it.
inline constexpr std::uint8_t kVendor8[] = {
    0x06, 0x00, 0xFF,  // Usage Page (Vendor 0xFF00)
    0x09, 0x01,        // Usage (1)
    0xA1, 0x01,        // Collection (Application)
    0x15, 0x00,        //   Logical Minimum (0)
    0x26, 0xFF, 0x00,  //   Logical Maximum (255)
    0x75, 0x08,        //   Report Size (8)
    0x95, 0x08,        //   Report Count (8)
    0x09, 0x01,        //   Usage (1)
    0x81, 0x02,        //   Input (Data, Variable, Absolute)
    0x95, 0x08,        //   Report Count (8)
    0x09, 0x02,        //   Usage (2)
    0x91, 0x02,        //   Output (Data, Variable, Absolute)
    0xC0,              // End Collection
};

// The same with 10-byte reports (two address bytes after the message), its Logical Maximum
// written in one byte as firmware often does (0xFF, read signed as -1).
inline constexpr std::uint8_t kVendor10[] = {
    0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x25, 0xFF, 0x75, 0x08,
    0x95, 0x0A, 0x09, 0x01, 0x81, 0x02, 0x95, 0x0A, 0x09, 0x02, 0x91, 0x02, 0xC0,
};

// The same with 42-byte reports, the Report Count written in two bytes.
inline constexpr std::uint8_t kVendor42[] = {
    0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75,
    0x08, 0x96, 0x2A, 0x00, 0x09, 0x01, 0x81, 0x02, 0x09, 0x02, 0x91, 0x02, 0xC0,
};

// The boot keyboard: eight modifier bits, a reserved byte, five LEDs and a six-key array.
inline constexpr std::uint8_t kBootKeyboard[] = {
    0x05, 0x01,  // Usage Page (Generic Desktop)
    0x09, 0x06,  // Usage (Keyboard)
    0xA1, 0x01,  // Collection (Application)
    0x05, 0x07,  //   Usage Page (Keyboard/Keypad)
    0x19, 0xE0,  //   Usage Minimum (Left Control)
    0x29, 0xE7,  //   Usage Maximum (Right GUI)
    0x15, 0x00,  //   Logical Minimum (0)
    0x25, 0x01,  //   Logical Maximum (1)
    0x75, 0x01,  //   Report Size (1)
    0x95, 0x08,  //   Report Count (8)
    0x81, 0x02,  //   Input (Data, Variable, Absolute): modifier bits
    0x95, 0x01,  //   Report Count (1)
    0x75, 0x08,  //   Report Size (8)
    0x81, 0x01,  //   Input (Constant): reserved byte
    0x95, 0x05,  //   Report Count (5)
    0x75, 0x01,  //   Report Size (1)
    0x05, 0x08,  //   Usage Page (LEDs)
    0x19, 0x01,  //   Usage Minimum (Num Lock)
    0x29, 0x05,  //   Usage Maximum (Kana)
    0x91, 0x02,  //   Output (Data, Variable, Absolute): LED bits
    0x95, 0x01,  //   Report Count (1)
    0x75, 0x03,  //   Report Size (3)
    0x91, 0x01,  //   Output (Constant): padding
    0x95, 0x06,  //   Report Count (6)
    0x75, 0x08,  //   Report Size (8)
    0x15, 0x00,  //   Logical Minimum (0)
    0x25, 0x65,  //   Logical Maximum (101)
    0x05, 0x07,  //   Usage Page (Keyboard/Keypad)
    0x19, 0x00,  //   Usage Minimum (0)
    0x29, 0x65,  //   Usage Maximum (101)
    0x81, 0x00,  //   Input (Data, Array): key codes
    0xC0,        // End Collection
};

// A headset-style device with numbered reports: consumer keys in report 1, a vendor channel with
// 63-byte input and output reports in report 2 and a 4-byte feature report 3.
inline constexpr std::uint8_t kNumberedConsumerVendor[] = {
    0x05, 0x0C,        // Usage Page (Consumer)
    0x09, 0x01,        // Usage (Consumer Control)
    0xA1, 0x01,        // Collection (Application)
    0x85, 0x01,        //   Report ID (1)
    0x15, 0x00,        //   Logical Minimum (0)
    0x25, 0x01,        //   Logical Maximum (1)
    0x75, 0x01,        //   Report Size (1)
    0x95, 0x03,        //   Report Count (3)
    0x09, 0xE9,        //   Usage (Volume Increment)
    0x09, 0xEA,        //   Usage (Volume Decrement)
    0x09, 0xE2,        //   Usage (Mute)
    0x81, 0x02,        //   Input (Data, Variable, Absolute)
    0x95, 0x05,        //   Report Count (5)
    0x81, 0x03,        //   Input (Constant): padding to a byte
    0xC0,              // End Collection
    0x06, 0x00, 0xFF,  // Usage Page (Vendor 0xFF00)
    0x09, 0x01,        // Usage (1)
    0xA1, 0x01,        // Collection (Application)
    0x85, 0x02,        //   Report ID (2)
    0x15, 0x00,        //   Logical Minimum (0)
    0x26, 0xFF, 0x00,  //   Logical Maximum (255)
    0x75, 0x08,        //   Report Size (8)
    0x95, 0x3F,        //   Report Count (63)
    0x09, 0x01,        //   Usage (1)
    0x81, 0x02,        //   Input (Data, Variable, Absolute)
    0x09, 0x01,        //   Usage (1)
    0x91, 0x02,        //   Output (Data, Variable, Absolute)
    0x85, 0x03,        //   Report ID (3)
    0x95, 0x04,        //   Report Count (4)
    0x09, 0x02,        //   Usage (2)
    0xB1, 0x02,        //   Feature (Data, Variable, Absolute)
    0xC0,              // End Collection
};

// A speakerphone whose USB interface carries consumer keys (report 1) beside the vendor channel
// (report 2, input and output reports of vendorBytes data bytes). The key report is padded to
// 8 data bytes, so with 8 vendor bytes every report is 9 bytes long.
constexpr std::array<std::uint8_t, 56> keysAndVendor(std::uint8_t vendorBytes) {
    return {
        0x05, 0x0C,                     // Usage Page (Consumer)
        0x09, 0x01,                     // Usage (Consumer Control)
        0xA1, 0x01,                     // Collection (Application)
        0x85, 0x01,                     //   Report ID (1)
        0x15, 0x00, 0x25, 0x01,         //   Logical Minimum (0), Logical Maximum (1)
        0x75, 0x01, 0x95, 0x03,         //   Report Size (1), Report Count (3)
        0x09, 0xE9, 0x09, 0xEA,         //   Usage (Volume Increment), Usage (Volume Decrement)
        0x09, 0xE2, 0x81, 0x02,         //   Usage (Mute), Input (Data, Variable, Absolute)
        0x95, 0x3D, 0x81, 0x03,         //   Report Count (61), Input (Constant): padding
        0xC0,                           // End Collection
        0x06, 0x00, 0xFF,               // Usage Page (Vendor 0xFF00)
        0x09, 0x01,                     // Usage (1)
        0xA1, 0x01,                     // Collection (Application)
        0x85, 0x02,                     //   Report ID (2)
        0x15, 0x00,                     //   Logical Minimum (0)
        0x26, 0xFF, 0x00,               //   Logical Maximum (255)
        0x75, 0x08, 0x95, vendorBytes,  //   Report Size (8), Report Count (vendorBytes)
        0x09, 0x01, 0x81, 0x02,         //   Usage (1), Input (Data, Variable, Absolute)
        0x09, 0x02, 0x91, 0x02,         //   Usage (2), Output (Data, Variable, Absolute)
        0xC0,                           // End Collection
    };
}

}  // namespace platform::samples
