#include "platform/usb/pcap_writer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/usb/urb.h"
#include "sim/device/default_device.h"

namespace platform {
namespace {

using Bytes = std::vector<std::uint8_t>;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
namespace dd = sim::default_device;

constexpr CaptureDevice kDevice = {.busNumber = 3, .address = 7};

// Little-endian reads at the offsets of the pcap and usbmon definitions, written from
// them rather than from the writer.
struct Reader {
    const std::string& bytes;
    std::uint64_t At(std::size_t offset, std::size_t width) const {
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < width; ++i) {
            value |= std::uint64_t(std::uint8_t(bytes.at(offset + i))) << (8 * i);
        }
        return value;
    }
};

TEST(PcapWriter, FileHeaderAndIsochronousRecordLayout) {
    std::ostringstream out;
    // Room for the header, two descriptors and 10 data bytes: the third descriptor and
    // the rest of the data are not captured.
    PcapWriter writer(out, 64 + 2 * 16 + 10);
    const CapturedIsoPacket packets[] = {{0, 12}, {12, 12}, {24, 6}};
    Bytes data(30);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = std::uint8_t(i + 1);
    writer.IsoSubmit(0x1122334455667788u, kDevice, 3 * kSecond + 250 * kMicrosecond + 7,
                     {.endpointAddress = 0x01,
                      .transferFlags = USBD_START_ISO_TRANSFER_ASAP,
                      .interval = 1,
                      .startFrame = 0x1234,
                      .transferBufferLength = 30,
                      .packets = packets},
                     data);
    ASSERT_TRUE(writer.Good());
    const std::string bytes = out.str();
    const Reader r{bytes};

    // File header.
    EXPECT_EQ(r.At(0, 4), 0xA1B2C3D4u);
    EXPECT_EQ(r.At(4, 2), 2u);
    EXPECT_EQ(r.At(6, 2), 4u);
    EXPECT_EQ(r.At(16, 4), 64u + 32 + 10) << "snap length";
    EXPECT_EQ(r.At(20, 4), 220u) << "LINKTYPE_USB_LINUX_MMAPPED";

    // Record header: time, captured and original lengths.
    const std::size_t rec = 24;
    EXPECT_EQ(r.At(rec + 0, 4), 3u);
    EXPECT_EQ(r.At(rec + 4, 4), 250u) << "microseconds; the 100-ns remainder dropped";
    EXPECT_EQ(r.At(rec + 8, 4), 64u + 32 + 10);
    EXPECT_EQ(r.At(rec + 12, 4), 64u + 48 + 30);
    ASSERT_EQ(bytes.size(), rec + 16 + 64 + 32 + 10);

    // usbmon header.
    const std::size_t mon = rec + 16;
    EXPECT_EQ(r.At(mon + 0, 8), 0x1122334455667788u) << "id";
    EXPECT_EQ(char(r.At(mon + 8, 1)), 'S');
    EXPECT_EQ(r.At(mon + 9, 1), 0u) << "isochronous";
    EXPECT_EQ(r.At(mon + 10, 1), 0x01u) << "endpoint";
    EXPECT_EQ(r.At(mon + 11, 1), 7u) << "device";
    EXPECT_EQ(r.At(mon + 12, 2), 3u) << "bus";
    EXPECT_EQ(char(r.At(mon + 14, 1)), '-') << "no setup packet";
    EXPECT_EQ(r.At(mon + 15, 1), 0u) << "data present";
    EXPECT_EQ(r.At(mon + 16, 8), 3u) << "seconds";
    EXPECT_EQ(r.At(mon + 24, 4), 250u) << "microseconds";
    EXPECT_EQ(std::int32_t(r.At(mon + 28, 4)), -115) << "-EINPROGRESS";
    EXPECT_EQ(r.At(mon + 32, 4), 30u) << "URB length";
    EXPECT_EQ(r.At(mon + 36, 4), 10u) << "data captured";
    EXPECT_EQ(r.At(mon + 40, 4), 0u) << "error count";
    EXPECT_EQ(r.At(mon + 44, 4), 3u) << "descriptors in the URB";
    EXPECT_EQ(r.At(mon + 48, 4), 1u) << "interval";
    EXPECT_EQ(r.At(mon + 52, 4), 0x1234u) << "start frame";
    EXPECT_EQ(r.At(mon + 56, 4), 0x0002u) << "URB_ISO_ASAP";
    EXPECT_EQ(r.At(mon + 60, 4), 2u) << "descriptors captured";

    // Descriptors: status (not yet transferred), offset, length, padding.
    for (std::size_t i = 0; i < 2; ++i) {
        const std::size_t d = mon + 64 + 16 * i;
        EXPECT_EQ(std::int32_t(r.At(d, 4)), -18) << "-EXDEV";
        EXPECT_EQ(r.At(d + 4, 4), packets[i].offset);
        EXPECT_EQ(r.At(d + 8, 4), packets[i].length);
        EXPECT_EQ(r.At(d + 12, 4), 0u);
    }
    EXPECT_THAT(Bytes(bytes.begin() + mon + 96, bytes.end()),
                ElementsAreArray(data.begin(), data.begin() + 10));
}

TEST(PcapWriter, UsbmonStatusOfEachKindOfFailure) {
    struct Case {
        USBD_STATUS status;
        LONG expected;
    };
    const Case cases[] = {
        {USBD_STATUS_SUCCESS, 0},
        {USBD_STATUS_PENDING, -115},                // -EINPROGRESS
        {USBD_STATUS_STALL_PID, -32},               // -EPIPE
        {USBD_STATUS_CANCELED, -2},                 // -ENOENT
        {USBD_STATUS_DEV_NOT_RESPONDING, -62},      // -ETIME
        {USBD_STATUS_DEVICE_GONE, -108},            // -ESHUTDOWN
        {USBD_STATUS_ISO_NOT_ACCESSED_BY_HW, -18},  // -EXDEV
        {USBD_STATUS_ISOCH_REQUEST_FAILED, -18},    // -EXDEV: some packets failed
        {USBD_STATUS_CRC, -84},                     // -EILSEQ
        {USBD_STATUS_FIFO, -71},                    // -EPROTO: no closer match
    };
    for (const Case& c : cases) {
        EXPECT_EQ(UsbmonStatus(c.status), c.expected) << UsbdStatusName(c.status);
    }
}

// ---- reading our captures back with tshark ----

struct CommandResult {
    int exitStatus = -1;
    std::string out;  // standard output only: tshark warns on standard error when run as root
};

CommandResult RunCommand(const std::string& command) {
    CommandResult result;
    if (FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r")) {
        char chunk[4096];
        while (std::size_t n = std::fread(chunk, 1, sizeof chunk, pipe))
            result.out.append(chunk, n);
        const int status = pclose(pipe);
        result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return result;
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator)) parts.push_back(part);
    if (!text.empty() && text.back() == separator) parts.emplace_back();
    return parts;
}

USB_DEFAULT_PIPE_SETUP_PACKET GetDescriptor(UCHAR type, USHORT length) {
    return {.bmRequestType = 0x80,
            .bRequest = USB_REQUEST_GET_DESCRIPTOR,
            .wValue = UsbDescriptorRequestValue(type, 0),
            .wIndex = 0,
            .wLength = length};
}

// Writes a capture the way the host controller will: each transfer submitted, then
// completed a little later on the virtual clock.
class CaptureScript {
  public:
    explicit CaptureScript(const std::string& path)
        : file_(path, std::ios::binary), writer_(file_) {}

    void ControlIn(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, const Bytes& reply) {
        writer_.ControlSubmit(++id_, kDevice, time_, setup, {});
        time_ += 125 * kMicrosecond;
        writer_.ControlComplete(id_, kDevice, time_, setup, USBD_STATUS_SUCCESS,
                                ULONG(reply.size()), reply);
        time_ += 125 * kMicrosecond;
    }
    void ControlOut(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, const Bytes& data) {
        writer_.ControlSubmit(++id_, kDevice, time_, setup, data);
        time_ += 125 * kMicrosecond;
        writer_.ControlComplete(id_, kDevice, time_, setup, USBD_STATUS_SUCCESS, ULONG(data.size()),
                                {});
        time_ += 125 * kMicrosecond;
    }
    // One 1 ms isochronous OUT transfer of 8 microframe packets at high speed.
    void IsoOut(ULONG startFrame, ULONG bytesPerPacket, std::uint8_t fill) {
        std::vector<CapturedIsoPacket> packets;
        for (ULONG k = 0; k < 8; ++k) packets.push_back({k * bytesPerPacket, bytesPerPacket});
        const Bytes data(8 * bytesPerPacket, fill);
        CapturedIsoTransfer transfer{.endpointAddress = dd::kPlaybackDataEndpoint,
                                     .transferFlags = USBD_START_ISO_TRANSFER_ASAP,
                                     .interval = 1,
                                     .startFrame = startFrame,
                                     .transferBufferLength = ULONG(data.size()),
                                     .packets = packets};
        writer_.IsoSubmit(++id_, kDevice, time_, transfer, data);
        time_ += kMillisecond;
        writer_.IsoComplete(id_, kDevice, time_, USBD_STATUS_SUCCESS, transfer, data);
    }
    // One read of the explicit feedback endpoint: a single 4-byte packet.
    void FeedbackIn(ULONG startFrame, const Bytes& value) {
        CapturedIsoPacket packet{.offset = 0, .length = ULONG(value.size())};
        CapturedIsoTransfer transfer{.endpointAddress = dd::kPlaybackFeedbackEndpoint,
                                     .transferFlags = USBD_TRANSFER_DIRECTION_IN |
                                                      USBD_SHORT_TRANSFER_OK |
                                                      USBD_START_ISO_TRANSFER_ASAP,
                                     .interval = 8,
                                     .startFrame = startFrame,
                                     .transferBufferLength = ULONG(value.size()),
                                     .packets = {&packet, 1}};
        writer_.IsoSubmit(++id_, kDevice, time_, transfer, {});
        time_ += kMillisecond;
        writer_.IsoComplete(id_, kDevice, time_, USBD_STATUS_SUCCESS, transfer, value);
    }
    bool Close() {
        file_.close();
        return !file_.fail();
    }

  private:
    std::ofstream file_;
    PcapWriter writer_;
    ULONG64 id_ = 0;
    VirtualTime time_ = kSecond;
};

// Each frame's decoded fields, by field name; a field that occurs several times in a
// frame holds its values joined by commas.
using DecodedFrame = std::map<std::string, std::string>;

class TsharkReadsOurCapture : public ::testing::Test {
  protected:
    void SetUp() override {
        if (RunCommand("command -v tshark").out.empty()) GTEST_SKIP() << "tshark is not installed";
        path_ = ::testing::TempDir() + "kaldrit_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".pcap";
    }
    void TearDown() override {
        if (!path_.empty() && !HasFailure()) std::remove(path_.c_str());
    }

    // The frames tshark flags: malformed, or with an expert note of warning severity or
    // worse (0x00600000).
    CommandResult Problems() const {
        return RunCommand("tshark -r " + path_ +
                          " -Y '_ws.malformed || _ws.expert.severity >= 0x00600000'");
    }

    std::vector<DecodedFrame> Decode(const std::vector<std::string>& fields) const {
        std::string command =
            "tshark -r " + path_ + " -T fields -E separator='|' -E occurrence=a -E aggregator=,";
        for (const std::string& f : fields) command += " -e " + f;
        const CommandResult result = RunCommand(command);
        EXPECT_EQ(result.exitStatus, 0) << command;
        std::vector<DecodedFrame> frames;
        for (const std::string& line : Split(result.out, '\n')) {
            if (line.empty()) continue;
            const std::vector<std::string> values = Split(line, '|');
            EXPECT_EQ(values.size(), fields.size()) << line;
            DecodedFrame frame;
            for (std::size_t i = 0; i < fields.size() && i < values.size(); ++i) {
                frame[fields[i]] = values[i];
            }
            frames.push_back(frame);
        }
        return frames;
    }

    // `fields` of each frame, joined by '|'.
    static std::vector<std::string> Rows(const std::vector<DecodedFrame>& frames,
                                         std::initializer_list<const char*> fields) {
        std::vector<std::string> rows;
        for (const DecodedFrame& frame : frames) {
            std::string row;
            for (const char* f : fields) row += (row.empty() ? "" : "|") + frame.at(f);
            rows.push_back(row);
        }
        return rows;
    }

    std::string path_;
};

TEST_F(TsharkReadsOurCapture, EnumerationThenIsochronousPlayback) {
    const sim::DeviceDescriptors descriptors = dd::Descriptors(platform::UsbSpeed::kHigh);
    const Bytes& config = descriptors.configuration;
    {
        CaptureScript script(path_);
        script.ControlIn(GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 18), descriptors.device);
        script.ControlIn(GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 9),
                         Bytes(config.begin(), config.begin() + 9));
        script.ControlIn(GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, USHORT(config.size())),
                         config);
        script.ControlOut({.bRequest = USB_REQUEST_SET_CONFIGURATION, .wValue = 1}, {});
        script.ControlOut({.bmRequestType = 0x01,
                           .bRequest = USB_REQUEST_SET_INTERFACE,
                           .wValue = 2,
                           .wIndex = dd::kPlaybackInterface},
                          {});
        // Sampling frequency 48 kHz to the data endpoint, 24-bit little-endian.
        script.ControlOut({.bmRequestType = 0x22,
                           .bRequest = 0x01,
                           .wValue = 0x0100,
                           .wIndex = dd::kPlaybackDataEndpoint,
                           .wLength = 3},
                          {0x80, 0xBB, 0x00});
        // 48 kHz, 24-bit stereo: 6 frames of 6 bytes per microframe.
        for (ULONG i = 0; i < 3; ++i) script.IsoOut(100 + 8 * i, 36, std::uint8_t(0xA0 + i));
        // 6.0 frames per microframe in 16.16.
        script.FeedbackIn(124, {0x00, 0x00, 0x06, 0x00});
        ASSERT_TRUE(script.Close());
    }

    const CommandResult problems = Problems();
    EXPECT_EQ(problems.exitStatus, 0) << "the filter must be understood";
    EXPECT_EQ(problems.out, "") << "no frame may be malformed or draw a warning";

    const std::vector<DecodedFrame> frames = Decode(
        {"usb.urb_type", "usb.transfer_type", "usb.endpoint_address", "usb.urb_status",
         "usb.urb_len", "usb.data_len", "usb.bmRequestType", "usb.setup.bRequest",
         "usb.setup.wLength", "usb.bDescriptorType", "usb.idVendor", "usb.idProduct", "usb.bcdUSB",
         "usb.wTotalLength", "usb.bNumInterfaces", "usb.bInterfaceNumber", "usb.bAlternateSetting",
         "usb.bEndpointAddress", "usb.iso.error_count", "usb.iso.numdesc", "usb.iso.iso_off",
         "usb.iso.iso_len", "usb.iso.iso_status", "usb.iso.data", "usb.data_fragment",
         // The audio class descriptors of the configuration.
         "usbaudio.ac_if_hdr.bcdADC", "usbaudio.ac_if_clksrc.bClockID",
         "usbaudio.ac_if_input.bTerminalID", "usbaudio.ac_if_input.wTerminalType",
         "usbaudio.ac_if_output.bTerminalID", "usbaudio.ac_if_output.bSourceID",
         "usbaudio.ac_if_fu.bSourceID", "usbaudio.ac_if_su.baSourceID",
         "usbaudio.as_if_gen.bTerminalLink", "usbaudio.as_if_ft.bSubslotSize",
         "usbaudio.as_if_ft.bBitResolution"});
    ASSERT_EQ(frames.size(), 20u);
    const std::string total = std::to_string(config.size());

    // Every frame: submission or completion, type, endpoint, status, URB and data length.
    EXPECT_THAT(
        Rows(frames, {"usb.urb_type", "usb.transfer_type", "usb.endpoint_address", "usb.urb_status",
                      "usb.urb_len", "usb.data_len"}),
        ElementsAre("'S'|0x02|0x80|-115|18|0", "'C'|0x02|0x80|0|18|18",  // device descriptor
                    "'S'|0x02|0x80|-115|9|0", "'C'|0x02|0x80|0|9|9",     // configuration head
                    "'S'|0x02|0x80|-115|" + total + "|0", "'C'|0x02|0x80|0|" + total + "|" + total,
                    "'S'|0x02|0x00|-115|0|0", "'C'|0x02|0x00|0|0|0",  // SET_CONFIGURATION
                    "'S'|0x02|0x00|-115|0|0", "'C'|0x02|0x00|0|0|0",  // SET_INTERFACE
                    "'S'|0x02|0x00|-115|3|3", "'C'|0x02|0x00|0|3|0",  // sampling frequency
                    "'S'|0x00|0x01|-115|288|288", "'C'|0x00|0x01|0|288|0",
                    "'S'|0x00|0x01|-115|288|288", "'C'|0x00|0x01|0|288|0",
                    "'S'|0x00|0x01|-115|288|288", "'C'|0x00|0x01|0|288|0", "'S'|0x00|0x81|-115|4|0",
                    "'C'|0x00|0x81|0|4|4"));  // feedback

    // The setup packets of the control submissions, and the class request's data stage.
    std::vector<DecodedFrame> controlSubmissions;
    for (std::size_t i = 0; i < 12; i += 2) controlSubmissions.push_back(frames[i]);
    EXPECT_THAT(
        Rows(controlSubmissions, {"usb.bmRequestType", "usb.setup.bRequest", "usb.setup.wLength",
                                  "usb.bDescriptorType", "usb.data_fragment"}),
        ElementsAre("0x80|6|18|0x01|", "0x80|6|9|0x02|", "0x80|6|" + total + "|0x02|", "0x00|9|0||",
                    "0x01|11|0||", "0x22|1|3||80bb00"));

    // The device descriptor, and both configuration reads.
    EXPECT_EQ(Rows({frames[1]}, {"usb.bcdUSB", "usb.idVendor", "usb.idProduct"}),
              std::vector<std::string>{"0x0200|0x2e4a|0x7a31"});
    EXPECT_THAT(Rows({frames[3], frames[5]}, {"usb.wTotalLength", "usb.bNumInterfaces"}),
                ElementsAre(total + "|4", total + "|4"));
    const DecodedFrame& whole = frames[5];
    EXPECT_EQ(whole.at("usb.bInterfaceNumber"), "0,1,2,2,2,2,3,3,3,3");
    EXPECT_EQ(whole.at("usb.bAlternateSetting"), "0,0,0,1,2,3,0,1,2,3");
    EXPECT_EQ(whole.at("usb.bEndpointAddress"),
              "0x83,0x01,0x81,0x01,0x81,0x01,0x81,0x82,0x82,0x82");

    // The audio function, as the audio class dissector reads it.
    EXPECT_THAT(
        Rows({whole}, {"usbaudio.ac_if_hdr.bcdADC", "usbaudio.ac_if_clksrc.bClockID",
                       "usbaudio.ac_if_input.bTerminalID", "usbaudio.ac_if_input.wTerminalType",
                       "usbaudio.ac_if_output.bTerminalID", "usbaudio.ac_if_output.bSourceID",
                       "usbaudio.ac_if_fu.bSourceID", "usbaudio.ac_if_su.baSourceID"}),
        ElementsAre("2|9|1,3,4|0x0101,0x0201,0x0603|2,6|10,11|1,5|3,4"));
    EXPECT_THAT(Rows({whole}, {"usbaudio.as_if_gen.bTerminalLink", "usbaudio.as_if_ft.bSubslotSize",
                               "usbaudio.as_if_ft.bBitResolution"}),
                ElementsAre("1,1,1,6,6,6|2,3,4,2,3,4|16,24,32,16,24,32"));

    // The isochronous transfers: packets laid end to end, not yet transferred on
    // submission and transferred on completion. usbmon's header and its descriptor count
    // both carry the packet count, hence two 8s.
    const std::string offsets = "0,36,72,108,144,180,216,252";
    const std::string lengths = "36,36,36,36,36,36,36,36";
    const std::string notYet = "-18,-18,-18,-18,-18,-18,-18,-18";
    const std::string done = "0,0,0,0,0,0,0,0";
    const std::vector<DecodedFrame> iso(frames.begin() + 12, frames.begin() + 18);
    EXPECT_THAT(Rows(iso, {"usb.iso.error_count", "usb.iso.numdesc", "usb.iso.iso_off",
                           "usb.iso.iso_len", "usb.iso.iso_status"}),
                ::testing::Each(::testing::AnyOf("0|8,8|" + offsets + "|" + lengths + "|" + notYet,
                                                 "0|8,8|" + offsets + "|" + lengths + "|" + done)));
    EXPECT_THAT(Rows(iso, {"usb.urb_type", "usb.iso.iso_status"}),
                ElementsAre("'S'|" + notYet, "'C'|" + done, "'S'|" + notYet, "'C'|" + done,
                            "'S'|" + notYet, "'C'|" + done));
    // The feedback read: its value arrives with the completion.
    EXPECT_THAT(
        Rows({frames[18], frames[19]}, {"usb.iso.numdesc", "usb.iso.iso_off", "usb.iso.iso_len",
                                        "usb.iso.iso_status", "usb.iso.data"}),
        ElementsAre("1,1|0|4|-18|", "1,1|0|4|0|00000600"));
}

}  // namespace
}  // namespace platform
