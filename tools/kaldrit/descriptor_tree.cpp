#include "tools/kaldrit/descriptor_tree.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/usb/usb_audio.h"
#include "platform/usb/usb_descriptors.h"

namespace kaldrit {
namespace {

enum class Format { kDecimal, kHex, kBcd, kString, kMilliamps2, kEndpoint };

struct Field {
    const char* name;
    int bytes;
    Format format = Format::kDecimal;
};

// The descriptor being printed: its bytes (already bounded by bLength and by what is
// present) and a cursor over them.
class Reader {
  public:
    Reader(std::span<const std::uint8_t> bytes, int depth, const StringLookup& strings,
           std::string& out)
        : bytes_(bytes), depth_(depth), strings_(strings), out_(out) {}

    bool Has(std::size_t count) const { return offset_ + count <= bytes_.size(); }
    std::size_t Offset() const { return offset_; }

    // Prints one field; gives its value, or nothing when the descriptor ends first.
    std::optional<ULONG> Print(const Field& field) {
        if (!Has(field.bytes)) {
            Line(field.name, "(missing: the descriptor ends here)");
            offset_ = bytes_.size();
            return std::nullopt;
        }
        ULONG value = 0;
        for (int i = 0; i < field.bytes; ++i) value |= ULONG{bytes_[offset_ + i]} << (8 * i);
        offset_ += field.bytes;
        char text[96];
        switch (field.format) {
            case Format::kDecimal:
                std::snprintf(text, sizeof text, "%u", value);
                break;
            case Format::kHex:
                std::snprintf(text, sizeof text, "0x%0*x", field.bytes * 2, value);
                break;
            case Format::kBcd:
                std::snprintf(text, sizeof text, "%x.%02x", value >> 8, value & 0xFF);
                break;
            case Format::kMilliamps2:
                std::snprintf(text, sizeof text, "%u mA", value * 2);
                break;
            case Format::kEndpoint:
                std::snprintf(text, sizeof text, "0x%02x  EP %u %s", value, value & 0x0F,
                              (value & 0x80) ? "IN" : "OUT");
                break;
            case Format::kString: {
                const std::string s = value ? strings_(static_cast<UCHAR>(value)) : "";
                std::snprintf(text, sizeof text, "%u %s", value, s.c_str());
                break;
            }
        }
        Line(field.name, text);
        return value;
    }
    void PrintAll(std::initializer_list<Field> fields) {
        for (const Field& field : fields) {
            if (!Print(field)) return;
        }
    }
    void Heading(std::string_view title) {
        out_.append(static_cast<std::size_t>(depth_) * 2, ' ');
        out_ += title;
        out_ += ":\n";
    }
    void Note(std::string_view text) {
        out_.append(static_cast<std::size_t>(depth_ + 2) * 2, ' ');
        out_ += text;
        out_ += '\n';
    }
    // Whatever the known fields did not cover, as hex.
    void Rest() {
        if (offset_ >= bytes_.size()) return;
        std::string hex;
        for (std::size_t i = offset_; i < bytes_.size(); ++i) {
            char byte[4];
            std::snprintf(byte, sizeof byte, "%02x ", bytes_[i]);
            hex += byte;
        }
        hex.pop_back();
        Line("(more bytes)", hex);
        offset_ = bytes_.size();
    }

  private:
    void Line(const char* name, const std::string& value) {
        char text[160];
        std::snprintf(text, sizeof text, "%*s%-20s %s\n", (depth_ + 1) * 2, "", name,
                      value.c_str());
        out_ += text;
    }

    std::span<const std::uint8_t> bytes_;
    std::size_t offset_ = 0;
    int depth_;
    const StringLookup& strings_;
    std::string& out_;
};

constexpr UCHAR kHidDescriptorType = 0x21;

const Field kLength{"bLength", 1};
const Field kType{"bDescriptorType", 1};
const Field kSubtype{"bDescriptorSubtype", 1};

void AudioControl(Reader& r, UCHAR subtype, std::size_t length) {
    using namespace usb_audio;
    switch (subtype) {
        case HEADER:
            r.Heading("AudioControl Interface Descriptor (HEADER)");
            r.PrintAll({kLength,
                        kType,
                        kSubtype,
                        {"bcdADC", 2, Format::kBcd},
                        {"bCategory", 1, Format::kHex},
                        {"wTotalLength", 2, Format::kHex},
                        {"bmControls", 1, Format::kHex}});
            break;
        case INPUT_TERMINAL:
            r.Heading("AudioControl Interface Descriptor (INPUT_TERMINAL)");
            r.PrintAll({kLength,
                        kType,
                        kSubtype,
                        {"bTerminalID", 1},
                        {"wTerminalType", 2, Format::kHex},
                        {"bAssocTerminal", 1},
                        {"bCSourceID", 1},
                        {"bNrChannels", 1},
                        {"bmChannelConfig", 4, Format::kHex},
                        {"iChannelNames", 1, Format::kString},
                        {"bmControls", 2, Format::kHex},
                        {"iTerminal", 1, Format::kString}});
            break;
        case OUTPUT_TERMINAL:
            r.Heading("AudioControl Interface Descriptor (OUTPUT_TERMINAL)");
            r.PrintAll({kLength,
                        kType,
                        kSubtype,
                        {"bTerminalID", 1},
                        {"wTerminalType", 2, Format::kHex},
                        {"bAssocTerminal", 1},
                        {"bSourceID", 1},
                        {"bCSourceID", 1},
                        {"bmControls", 2, Format::kHex},
                        {"iTerminal", 1, Format::kString}});
            break;
        case SELECTOR_UNIT: {
            r.Heading("AudioControl Interface Descriptor (SELECTOR_UNIT)");
            r.PrintAll({kLength, kType, kSubtype, {"bUnitID", 1}});
            const std::optional<ULONG> pins = r.Print({"bNrInPins", 1});
            for (ULONG i = 0; pins && i < *pins && r.Has(1); ++i) {
                const std::string name = "baSourceID(" + std::to_string(i) + ")";
                r.Print({name.c_str(), 1});
            }
            r.PrintAll({{"bmControls", 1, Format::kHex}, {"iSelector", 1, Format::kString}});
            break;
        }
        case FEATURE_UNIT: {
            r.Heading("AudioControl Interface Descriptor (FEATURE_UNIT)");
            r.PrintAll({kLength, kType, kSubtype, {"bUnitID", 1}, {"bSourceID", 1}});
            // 6 fixed bytes: length, type, subtype, unit, source, and iFeature last.
            const std::size_t channels = length >= 6 ? (length - 6) / 4 : 0;
            for (std::size_t i = 0; i < channels && r.Has(4); ++i) {
                const std::string name = "bmaControls(" + std::to_string(i) + ")";
                r.Print({name.c_str(), 4, Format::kHex});
            }
            r.Print({"iFeature", 1, Format::kString});
            break;
        }
        case CLOCK_SOURCE:
            r.Heading("AudioControl Interface Descriptor (CLOCK_SOURCE)");
            r.PrintAll({kLength,
                        kType,
                        kSubtype,
                        {"bClockID", 1},
                        {"bmAttributes", 1, Format::kHex},
                        {"bmControls", 1, Format::kHex},
                        {"bAssocTerminal", 1},
                        {"iClockSource", 1, Format::kString}});
            break;
        default:
            r.Heading("AudioControl Interface Descriptor (subtype " + std::to_string(subtype) +
                      ")");
            r.PrintAll({kLength, kType, kSubtype});
    }
}

void AudioStreaming(Reader& r, UCHAR subtype) {
    using namespace usb_audio;
    if (subtype == AS_GENERAL) {
        r.Heading("AudioStreaming Interface Descriptor (AS_GENERAL)");
        r.PrintAll({kLength,
                    kType,
                    kSubtype,
                    {"bTerminalLink", 1},
                    {"bmControls", 1, Format::kHex},
                    {"bFormatType", 1},
                    {"bmFormats", 4, Format::kHex},
                    {"bNrChannels", 1},
                    {"bmChannelConfig", 4, Format::kHex},
                    {"iChannelNames", 1, Format::kString}});
    } else if (subtype == FORMAT_TYPE) {
        r.Heading("AudioStreaming Interface Descriptor (FORMAT_TYPE)");
        r.PrintAll({kLength,
                    kType,
                    kSubtype,
                    {"bFormatType", 1},
                    {"bSubslotSize", 1},
                    {"bBitResolution", 1}});
    } else {
        r.Heading("AudioStreaming Interface Descriptor (subtype " + std::to_string(subtype) + ")");
        r.PrintAll({kLength, kType, kSubtype});
    }
}

void Endpoint(Reader& r, std::size_t length) {
    r.Heading("Endpoint Descriptor");
    r.PrintAll({kLength, kType, {"bEndpointAddress", 1, Format::kEndpoint}});
    if (const std::optional<ULONG> attributes = r.Print({"bmAttributes", 1, Format::kHex})) {
        static const char* const kTransfer[] = {"Control", "Isochronous", "Bulk", "Interrupt"};
        static const char* const kSync[] = {"None", "Asynchronous", "Adaptive", "Synchronous"};
        static const char* const kUsage[] = {"Data", "Feedback", "Implicit feedback data",
                                             "Reserved"};
        std::string text = std::string("Transfer Type ") + kTransfer[*attributes & 3];
        if ((*attributes & 3) == 1) {
            text += std::string(", Synch Type ") + kSync[(*attributes >> 2) & 3] + ", Usage Type " +
                    kUsage[(*attributes >> 4) & 3];
        }
        r.Note(text);
    }
    r.PrintAll({{"wMaxPacketSize", 2, Format::kHex}, {"bInterval", 1}});
    if (length >= 9) r.PrintAll({{"bRefresh", 1}, {"bSynchAddress", 1, Format::kHex}});
}

}  // namespace

std::string DescribeDevice(std::span<const std::uint8_t> device,
                           std::span<const std::uint8_t> configuration,
                           const StringLookup& strings) {
    std::string out;
    {
        Reader r(device.first(std::min<std::size_t>(device.size(), 18)), 0, strings, out);
        r.Heading("Device Descriptor");
        r.PrintAll({kLength,
                    kType,
                    {"bcdUSB", 2, Format::kBcd},
                    {"bDeviceClass", 1},
                    {"bDeviceSubClass", 1},
                    {"bDeviceProtocol", 1},
                    {"bMaxPacketSize0", 1},
                    {"idVendor", 2, Format::kHex},
                    {"idProduct", 2, Format::kHex},
                    {"bcdDevice", 2, Format::kBcd},
                    {"iManufacturer", 1, Format::kString},
                    {"iProduct", 1, Format::kString},
                    {"iSerialNumber", 1, Format::kString},
                    {"bNumConfigurations", 1}});
    }
    // The walk is bounded by wTotalLength and by the bytes present, whichever is less.
    std::size_t total = configuration.size();
    if (configuration.size() >= 4) {
        total = std::min<std::size_t>(total, configuration[2] | (configuration[3] << 8));
    }
    UCHAR interfaceSubclass = 0;
    UCHAR interfaceClass = 0;
    for (std::size_t offset = 0; offset + 2 <= total;) {
        const std::size_t length = configuration[offset];
        const UCHAR type = configuration[offset + 1];
        if (length < 2 || offset + length > total) {
            char note[128];
            std::snprintf(note, sizeof note,
                          "  (malformed descriptor at offset %zu: bLength %zu with %zu bytes left; "
                          "the walk stops here)\n",
                          offset, length, total - offset);
            out += note;
            break;
        }
        const auto bytes = configuration.subspan(offset, length);
        const int depth = type == USB_CONFIGURATION_DESCRIPTOR_TYPE ? 1
                          : type == USB_INTERFACE_DESCRIPTOR_TYPE ||
                                  type == USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE
                              ? 2
                              : 3;
        Reader r(bytes, depth, strings, out);
        switch (type) {
            case USB_CONFIGURATION_DESCRIPTOR_TYPE:
                r.Heading("Configuration Descriptor");
                r.PrintAll({kLength,
                            kType,
                            {"wTotalLength", 2, Format::kHex},
                            {"bNumInterfaces", 1},
                            {"bConfigurationValue", 1},
                            {"iConfiguration", 1, Format::kString},
                            {"bmAttributes", 1, Format::kHex},
                            {"MaxPower", 1, Format::kMilliamps2}});
                break;
            case USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE:
                r.Heading("Interface Association");
                r.PrintAll({kLength,
                            kType,
                            {"bFirstInterface", 1},
                            {"bInterfaceCount", 1},
                            {"bFunctionClass", 1},
                            {"bFunctionSubClass", 1},
                            {"bFunctionProtocol", 1},
                            {"iFunction", 1, Format::kString}});
                break;
            case USB_INTERFACE_DESCRIPTOR_TYPE:
                r.Heading("Interface Descriptor");
                r.PrintAll({kLength,
                            kType,
                            {"bInterfaceNumber", 1},
                            {"bAlternateSetting", 1},
                            {"bNumEndpoints", 1},
                            {"bInterfaceClass", 1},
                            {"bInterfaceSubClass", 1},
                            {"bInterfaceProtocol", 1},
                            {"iInterface", 1, Format::kString}});
                interfaceClass = length > 5 ? bytes[5] : 0;
                interfaceSubclass = length > 6 ? bytes[6] : 0;
                break;
            case USB_ENDPOINT_DESCRIPTOR_TYPE:
                Endpoint(r, length);
                break;
            case usb_audio::CS_INTERFACE: {
                const UCHAR subtype = length > 2 ? bytes[2] : 0;
                if (interfaceClass == 1 && interfaceSubclass == usb_audio::AUDIOCONTROL) {
                    AudioControl(r, subtype, length);
                } else if (interfaceClass == 1 && interfaceSubclass == usb_audio::AUDIOSTREAMING) {
                    AudioStreaming(r, subtype);
                } else {
                    r.Heading("Class-specific Interface Descriptor");
                    r.PrintAll({kLength, kType});
                }
                break;
            }
            case usb_audio::CS_ENDPOINT:
                r.Heading("AudioStreaming Endpoint Descriptor");
                r.PrintAll({kLength,
                            kType,
                            kSubtype,
                            {"bmAttributes", 1, Format::kHex},
                            {"bmControls", 1, Format::kHex},
                            {"bLockDelayUnits", 1},
                            {"wLockDelay", 2}});
                break;
            case kHidDescriptorType:
                r.Heading("HID Descriptor");
                r.PrintAll({kLength,
                            kType,
                            {"bcdHID", 2, Format::kBcd},
                            {"bCountryCode", 1},
                            {"bNumDescriptors", 1},
                            {"bDescriptorType", 1, Format::kHex},
                            {"wDescriptorLength", 2}});
                break;
            default:
                r.Heading("Descriptor of type " + std::to_string(type));
                r.PrintAll({kLength, kType});
        }
        r.Rest();
        offset += length;
    }
    return out;
}

}  // namespace kaldrit
