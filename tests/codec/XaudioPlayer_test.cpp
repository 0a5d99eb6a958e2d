// TXaudioPlayer: its loading rules and tables against stand-in libraries that record
// every call, and a real decode through xaudio.so.

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "DecodeFixtures.h"
#include "DecodeTestApp.h"
#include "TestEnv.h"
#include "codec/XaudioPlayer.h"
#include "platform/RuntimeLibrary.h"

using codec::EXaudioException;
using codec::TXaudioPlayer;
using namespace decodetest;

namespace {

std::string fakePath(const std::string& name) {
    return testenv::appDir() + "testlibs/" + name + ".so";
}

// The test controls of a stand-in library (the same loaded instance the component
// uses, as both load it by the same path).
struct Fake {
    explicit Fake(const std::string& name)
        : path(fakePath(name)),
          library(path, {"fake_log", "fake_clear_log", "fake_post", "fake_post_window_message"}) {
        EXPECT_TRUE(library.isLoaded()) << library.error();
        clear();
    }
    std::string log() const { return library.entry<const char* (*)()>("fake_log")(); }
    void clear() const { library.entry<void (*)()>("fake_clear_log")(); }
    void post(uint32_t code, const uint8_t* data, const char* t0, const char* t1, const char* t2,
              const void* p0 = nullptr, const void* p1 = nullptr) const {
        using Post = int (*)(uint32_t, const uint8_t*, const char*, const char*, const char*,
                             const void*, const void*);
        ASSERT_EQ(library.entry<Post>("fake_post")(code, data, t0, t1, t2, p0, p1), 0);
    }
    void postRaw(uint32_t number, uintptr_t wparam, intptr_t lparam) const {
        using PostRaw = int (*)(uint32_t, uintptr_t, intptr_t);
        ASSERT_EQ(library.entry<PostRaw>("fake_post_window_message")(number, wparam, lparam), 0);
    }
    std::string path;
    platform::RuntimeLibrary library;
};

std::string messageOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const EXaudioException& e) {
        return e.what();
    }
    return "(nothing raised)";
}

} // namespace

TEST(TXaudioPlayer, WithoutAnApplicationTheHiddenWindowCannotBeCreated) {
    if (QCoreApplication::instance()) {
        GTEST_SKIP() << "this process already has an application object";
    }
    EXPECT_EQ(messageOf([] { TXaudioPlayer p(nullptr); }), "Cannot Create Hidden Window");
}

TEST(TXaudioPlayer, NothingIsLoadedBeforeFirstUseAndAMissingLibraryIsReportedThen) {
    ensureApplication();
    const std::string missing = testenv::root() + "nowhere/xaudio.so";
    TXaudioPlayer p(nullptr);
    EXPECT_EQ(p.XaudioPath, "xaudio.so");
    p.XaudioPath = missing;
    EXPECT_EQ(p.GetVersion(2), 0u);
    EXPECT_EQ(p.GetPriority(), 3u);
    p.SetPriority(1);
    EXPECT_EQ(p.GetPriority(), 1u);

    const std::string expected = "Cannot Load Xaudio DLL (" + missing + ")";
    EXPECT_EQ(messageOf([&] { p.Init(); }), expected);
    EXPECT_EQ(messageOf([&] { p.Play(); }), expected);
    EXPECT_EQ(messageOf([&] { p.ErrorString(1); }), expected);
}

TEST(TXaudioPlayer, AcceptsOnlyInterfaceVersionThreeEight) {
    ensureApplication();
    for (const char* name : {"xaudio_3_7", "xaudio_3_9", "xaudio_4_8"}) {
        SCOPED_TRACE(name);
        Fake fake(name);
        TXaudioPlayer p(nullptr);
        p.XaudioPath = fake.path;
        std::string found = std::string(name).substr(7, 1) + "." + std::string(name).substr(9, 1);
        const std::string expected = "Xaudio DLL API Mismatch\nExpected 3.8, Got " + found;
        EXPECT_EQ(messageOf([&] { p.Init(); }), expected);
        // The library stays loaded and the next use tests the version again.
        EXPECT_EQ(messageOf([&] { p.InputOpen("x.mp3"); }), expected);
        EXPECT_EQ(fake.log(), "get_version 2\nget_version 2\n");
        EXPECT_EQ(p.GetVersion(2), 0u);
    }
    Fake patched("xaudio_3_8_5");
    TXaudioPlayer p(nullptr);
    p.XaudioPath = patched.path;
    EXPECT_TRUE(p.Init());
    EXPECT_EQ(patched.log(), "get_version 2\nplayer_new\n");
    EXPECT_EQ(p.GetVersion(2), 0x030805u);
}

TEST(TXaudioPlayer, NamesTheFirstMissingEntryPointAndUnloads) {
    ensureApplication();
    TXaudioPlayer p(nullptr);
    p.XaudioPath = fakePath("xaudio_missing_entry");
    const std::string expected = "Cannot Find Symbol control_message_send_SI in Xaudio DLL";
    EXPECT_EQ(messageOf([&] { p.Init(); }), expected);
    EXPECT_EQ(messageOf([&] { p.Stop(); }), expected);
    EXPECT_EQ(p.GetVersion(2), 0u);
}

TEST(TXaudioPlayer, AFailedPlayerCreationIsReportedAndTriedAgain) {
    ensureApplication();
    Fake fake("xaudio_player_new_fails");
    TXaudioPlayer p(nullptr);
    p.XaudioPath = fake.path;
    EXPECT_EQ(messageOf([&] { p.Init(); }), "Cannot Start Xaudio Player");
    EXPECT_EQ(messageOf([&] { p.ErrorString(3); }), "Cannot Start Xaudio Player");
    EXPECT_EQ(fake.log(), "get_version 2\nplayer_new failed\nget_version 2\nplayer_new failed\n");
}

TEST(TXaudioPlayer, PriorityThreeIsLeftToTheLibraryOthersAreAppliedAfterCreation) {
    ensureApplication();
    Fake fake("xaudio_3_8");
    {
        TXaudioPlayer p(nullptr);
        p.XaudioPath = fake.path;
        p.SetPriority(3);
        ASSERT_TRUE(p.Init());
        EXPECT_EQ(fake.log(), "get_version 2\nplayer_new\n");
    }
    fake.clear();
    TXaudioPlayer p(nullptr);
    p.XaudioPath = fake.path;
    p.SetPriority(1);
    EXPECT_EQ(fake.log(), "");
    ASSERT_TRUE(p.Init());
    EXPECT_EQ(fake.log(), "get_version 2\nplayer_new\nset_priority 1\n");
    fake.clear();
    p.SetPriority(4);
    EXPECT_EQ(p.GetPriority(), 4u);
    EXPECT_EQ(fake.log(), "set_priority 4\nget_priority\n");
}

TEST(TXaudioPlayer, EachCommandSendsItsCodeThroughItsSender) {
    ensureApplication();
    Fake fake("xaudio_3_8");
    TXaudioPlayer p(nullptr);
    p.XaudioPath = fake.path;
    ASSERT_TRUE(p.Init());
    static const XA_EqualizerInfo equalizer{};
    static const char data[4] = {1, 2, 3, 4};
    std::ostringstream dataText, equalizerText;
    dataText << static_cast<const void*>(data);
    equalizerText << static_cast<const void*>(&equalizer);
    const std::string d = dataText.str();

    struct Row {
        std::function<void()> call;
        std::string line;
    };
    const std::vector<Row> rows = {
        {[&] { p.Synchronize(); }, "N 2"},
        {[&] { p.Ping(77); }, "I 3 77"},
        {[&] { p.Play(); }, "N 4"},
        {[&] { p.Pause(); }, "N 5"},
        {[&] { p.Stop(); }, "N 6"},
        {[&] { p.InputSeek(10, 400); }, "II 7 10 400"},
        {[&] { p.InputOpen("/music/a b.mp3"); }, "S 8 '/music/a b.mp3'"},
        {[&] { p.InputClose(); }, "N 9"},
        {[&] { p.InputSendMessage(0xFFFF, data, 4); }, "IPI 10 65535 " + d + " 4"},
        {[&] { p.InputAddFilter("f", 2); }, "SI 11 'f' 2"},
        {[&] { p.InputRemoveFilter("f", 3); }, "SI 12 'f' 3"},
        {[&] { p.InputFilterList(); }, "N 13"},
        {[&] { p.InputModuleRegister("m"); }, "S 14 'm'"},
        {[&] { p.InputModuleQuery(5); }, "I 15 5"},
        {[&] { p.InputModulesList(); }, "N 16"},
        {[&] { p.OutputOpen("/out/x.wav"); }, "S 17 '/out/x.wav'"},
        {[&] { p.OutputClose(); }, "N 18"},
        {[&] { p.OutputSendMessage(7, data, 2); }, "IPI 19 7 " + d + " 2"},
        {[&] { p.OutputMute(); }, "N 20"},
        {[&] { p.OutputUnmute(); }, "N 21"},
        {[&] { p.OutputReset(); }, "N 22"},
        {[&] { p.OutputDrain(); }, "N 23"},
        {[&] { p.OutputAddFilter("g", 1); }, "SI 24 'g' 1"},
        {[&] { p.OutputRemoveFilter("g", 0); }, "SI 25 'g' 0"},
        {[&] { p.OutputFilterList(); }, "N 26"},
        {[&] { p.OutputModuleRegister("o"); }, "S 27 'o'"},
        {[&] { p.OutputModuleQuery(6); }, "I 28 6"},
        {[&] { p.OutputModulesList(); }, "N 29"},
        {[&] { p.CodecSendMessage(9, data, 1); }, "IPI 30 9 " + d + " 1"},
        {[&] { p.CodecModuleRegister("c"); }, "S 31 'c'"},
        {[&] { p.CodecModuleQuery(8); }, "I 32 8"},
        {[&] { p.CodecModulesList(); }, "N 33"},
        {[&] { p.SetPlayerMode(0x11); }, "I 34 17"},
        {[&] { p.GetPlayerMode(); }, "N 35"},
        {[&] { p.SetPlayerEnvironmentInteger("k", -4); }, "SI 36 'k' -4"},
        {[&] { p.GetPlayerEnvironmentInteger("k"); }, "S 37 'k'"},
        {[&] { p.SetPlayerEnvironmentString("k", "v"); }, "SS 38 'k' 'v'"},
        {[&] { p.GetPlayerEnvironmentString("k"); }, "S 39 'k'"},
        {[&] { p.UnsetPlayerEnvironment("k"); }, "S 40 'k'"},
        {[&] { p.SetInputName("in"); }, "S 41 'in'"},
        {[&] { p.GetInputName(); }, "N 42"},
        {[&] { p.SetInputModule(2); }, "I 43 2"},
        {[&] { p.GetInputModule(); }, "N 44"},
        {[&] { p.SetInputPositionRange(400); }, "I 45 400"},
        {[&] { p.GetInputPositionRange(); }, "N 46"},
        {[&] { p.SetInputTimecodeGranularity(250); }, "I 47 250"},
        {[&] { p.GetInputTimecodeGranularity(); }, "N 48"},
        {[&] { p.SetOutputName("out"); }, "S 49 'out'"},
        {[&] { p.GetOutputName(); }, "N 50"},
        {[&] { p.SetOutputModule(3); }, "I 51 3"},
        {[&] { p.GetOutputModule(); }, "N 52"},
        {[&] { p.SetOutputVolume(10, 20, 30); }, "III 57 10 20 30"},
        {[&] { p.GetOutputVolume(); }, "N 58"},
        {[&] { p.SetOutputChannels(1); }, "I 59 1"},
        {[&] { p.GetOutputChannels(); }, "N 60"},
        {[&] { p.SetOutputPorts(6); }, "I 61 6"},
        {[&] { p.GetOutputPorts(); }, "N 62"},
        {[&] { p.SetCodecQuality(200); }, "I 63 200"},
        {[&] { p.GetCodecQuality(); }, "N 64"},
        {[&] { p.SetCodecEqualizer(&equalizer); }, "P 65 " + equalizerText.str()},
        {[&] { p.GetCodecEqualizer(); }, "N 66"},
        {[&] { p.SetNotificationMask(0xFF); }, "I 69 255"},
        {[&] { p.GetNotificationMask(); }, "N 70"},
        {[&] { p.SetDebugLevel(2); }, "I 71 2"},
        {[&] { p.GetDebugLevel(); }, "N 72"},
    };
    for (const Row& row : rows) {
        fake.clear();
        row.call();
        EXPECT_EQ(fake.log(), row.line + "\n");
    }
}

TEST(TXaudioPlayer, EachNotificationRaisesItsEventWithItsFieldsDecoded) {
    ensureApplication();
    Fake fake("xaudio_3_8");
    TXaudioPlayer p(nullptr);
    p.XaudioPath = fake.path;
    ASSERT_TRUE(p.Init());

    std::vector<std::string> raised;
    int messages = 0;
    auto add = [&](std::string s) { raised.push_back(std::move(s)); };
    auto n = [](auto v) { return std::to_string(+v); };
    p.OnNotifyMessage = [&](TXaudioPlayer* s, const XA_Message*) {
        EXPECT_EQ(s, &p);
        ++messages;
    };
    p.OnNotifyReady = [&](TXaudioPlayer*) { add("Ready"); };
    p.OnNotifyAck = [&](TXaudioPlayer*, uint8_t c) { add("Ack " + n(c)); };
    p.OnNotifyNack = [&](TXaudioPlayer*, uint8_t c, int16_t e) {
        add("Nack " + n(c) + " " + n(e));
    };
    p.OnNotifyPong = [&](TXaudioPlayer*, uint32_t t) { add("Pong " + n(t)); };
    p.OnNotifyExited = [&](TXaudioPlayer*) { add("Exited"); };
    p.OnNotifyPlayerState = [&](TXaudioPlayer*, int s) { add("PlayerState " + n(s)); };
    p.OnNotifyPlayerMode = [&](TXaudioPlayer*, int m) { add("PlayerMode " + n(m)); };
    p.OnNotifyPlayerEnvironmentInteger = [&](TXaudioPlayer*, const std::string& k, int v) {
        add("EnvInt " + k + " " + n(v));
    };
    p.OnNotifyPlayerEnvironmentString = [&](TXaudioPlayer*, const std::string& k,
                                            const std::string& v) { add("EnvStr " + k + " " + v); };
    p.OnNotifyInputState = [&](TXaudioPlayer*, int s) { add("InputState " + n(s)); };
    p.OnNotifyInputName = [&](TXaudioPlayer*, const std::string& s) { add("InputName " + s); };
    p.OnNotifyInputCaps = [&](TXaudioPlayer*, uint32_t c) { add("InputCaps " + n(c)); };
    p.OnNotifyInputPosition = [&](TXaudioPlayer*, uint32_t o, uint32_t r) {
        add("InputPosition " + n(o) + " " + n(r));
    };
    p.OnNotifyInputPositionRange = [&](TXaudioPlayer*, int r) { add("Range " + n(r)); };
    p.OnNotifyInputTimecode = [&](TXaudioPlayer*, uint8_t h, uint8_t m, uint8_t s, uint8_t f) {
        add("Timecode " + n(h) + " " + n(m) + " " + n(s) + " " + n(f));
    };
    p.OnNotifyInputTimecodeGranularity = [&](TXaudioPlayer*, uint32_t g) {
        add("Granularity " + n(g));
    };
    auto module = [&](const char* what) {
        return [&, what](TXaudioPlayer*, int16_t id) { add(std::string(what) + " " + n(id)); };
    };
    auto moduleInfo = [&](const char* what) {
        return [&, what](TXaudioPlayer*, uint8_t id, uint8_t devices, const std::string& name,
                         const std::string& description) {
            add(std::string(what) + " " + n(id) + " " + n(devices) + " " + name + " " +
                description);
        };
    };
    auto deviceInfo = [&](const char* what) {
        return [&, what](TXaudioPlayer*, uint8_t module, uint8_t index, uint8_t flags,
                         const std::string& name, const std::string& description) {
            add(std::string(what) + " " + n(module) + " " + n(index) + " " + n(flags) + " " + name +
                " " + description);
        };
    };
    auto filterInfo = [&](const char* what) {
        return [&, what](TXaudioPlayer*, uint8_t id, const std::string& name) {
            add(std::string(what) + " " + n(id) + " " + name);
        };
    };
    p.OnNotifyInputModule = module("InputModule");
    p.OnNotifyInputModuleInfo = moduleInfo("InputModuleInfo");
    p.OnNotifyInputDeviceInfo = deviceInfo("InputDeviceInfo");
    p.OnNotifyInputFilterInfo = filterInfo("InputFilterInfo");
    p.OnNotifyOutputState = [&](TXaudioPlayer*, int s) { add("OutputState " + n(s)); };
    p.OnNotifyOutputName = [&](TXaudioPlayer*, const std::string& s) { add("OutputName " + s); };
    p.OnNotifyOutputCaps = [&](TXaudioPlayer*, uint32_t c) { add("OutputCaps " + n(c)); };
    p.OnNotifyOutputVolume = [&](TXaudioPlayer*, uint8_t m, uint8_t pcm, uint8_t b) {
        add("Volume " + n(m) + " " + n(pcm) + " " + n(b));
    };
    p.OnNotifyOutputBalance = [&](TXaudioPlayer*, uint8_t b) { add("Balance " + n(b)); };
    p.OnNotifyOutputPcmLevel = [&](TXaudioPlayer*, uint8_t l) { add("PcmLevel " + n(l)); };
    p.OnNotifyOutputMasterLevel = [&](TXaudioPlayer*, uint8_t l) { add("MasterLevel " + n(l)); };
    p.OnNotifyOutputChannels = [&](TXaudioPlayer*, uint8_t c) { add("Channels " + n(c)); };
    p.OnNotifyOutputPorts = [&](TXaudioPlayer*, uint32_t ports) { add("Ports " + n(ports)); };
    p.OnNotifyOutputModule = module("OutputModule");
    p.OnNotifyOutputModuleInfo = moduleInfo("OutputModuleInfo");
    p.OnNotifyOutputDeviceInfo = deviceInfo("OutputDeviceInfo");
    p.OnNotifyOutputFilterInfo = filterInfo("OutputFilterInfo");
    p.OnNotifyStreamMimeType = [&](TXaudioPlayer*, const std::string& s) { add("Mime " + s); };
    p.OnNotifyStreamDuration = [&](TXaudioPlayer*, uint32_t d) { add("Duration " + n(d)); };
    p.OnNotifyStreamParameters = [&](TXaudioPlayer*, uint32_t f, int16_t b, uint8_t c) {
        add("Parameters " + n(f) + " " + n(b) + " " + n(c));
    };
    p.OnNotifyStreamProperties = [&](TXaudioPlayer*, uint32_t count, const XA_Property* props) {
        add("Properties " + n(count) +
            (props == reinterpret_cast<const XA_Property*>(&p) ? " at-component" : " elsewhere"));
    };
    p.OnNotifyCodecQuality = [&](TXaudioPlayer*, uint8_t q) { add("Quality " + n(q)); };
    p.OnNotifyCodecEqualizer = [&](TXaudioPlayer*, const XA_EqualizerInfo* e) {
        add(std::string("Equalizer") +
            (e == reinterpret_cast<const XA_EqualizerInfo*>(&fake) ? " at-fake" : " elsewhere"));
    };
    p.OnNotifyCodecModule = module("CodecModule");
    p.OnNotifyCodecModuleInfo = moduleInfo("CodecModuleInfo");
    p.OnNotifyCodecDeviceInfo = deviceInfo("CodecDeviceInfo");
    p.OnNotifyNotificationMask = [&](TXaudioPlayer*, uint32_t m) { add("Mask " + n(m)); };
    p.OnNotifyDebugLevel = [&](TXaudioPlayer*, uint8_t l) { add("DebugLevel " + n(l)); };
    p.OnNotifyProgress = [&](TXaudioPlayer*, uint8_t s, uint8_t c, int16_t v,
                             const std::string& m) {
        add("Progress " + n(s) + " " + n(c) + " " + n(v) + " " + m);
    };
    p.OnNotifyDebug = [&](TXaudioPlayer*, uint8_t s, uint8_t l, const std::string& m) {
        add("Debug " + n(s) + " " + n(l) + " " + m);
    };
    p.OnNotifyError = [&](TXaudioPlayer*, uint8_t s, int16_t c, const std::string& m) {
        add("Error " + n(s) + " " + n(c) + " " + m);
    };

    // b0 = 129, b1 = 2, b2 = 254, b3 = 255: w0 = 641, w2 = -2 signed,
    // d0 = 0xFFFE0281; d1 = 0x40302010 (w4 = 8208, b6 = 48); d2 = 0x04030201.
    const uint8_t data[12] = {0x81, 0x02, 0xFE, 0xFF, 0x10, 0x20, 0x30, 0x40, 1, 2, 3, 4};
    const std::vector<std::pair<uint32_t, std::string>> table = {
        {73, "Ready"},
        {74, "Ack 129"},
        {75, "Nack 129 -2"},
        {76, "Pong 4294836865"},
        {77, "Exited"},
        {78, "PlayerState 129"},
        {79, "PlayerMode -130431"},
        {80, "EnvInt T0 1076895760"},
        {81, "EnvStr T0 T1"},
        {82, "InputState 129"},
        {83, "InputName T0"},
        {84, "InputCaps 4294836865"},
        {85, "InputPosition 4294836865 1076895760"},
        {86, "Range -130431"},
        {87, "Timecode 129 2 254 255"},
        {88, "Granularity 4294836865"},
        {89, "InputModule 641"},
        {90, "InputModuleInfo 129 2 T1 T2"},
        {91, "InputDeviceInfo 129 2 254 T1 T2"},
        {92, "InputFilterInfo 16 T0"},
        {93, "OutputState 129"},
        {94, "OutputName T0"},
        {95, "OutputCaps 4294836865"},
        {100, "Volume 129 2 254"},
        {101, "Balance 254"},
        {102, "PcmLevel 2"},
        {103, "MasterLevel 129"},
        {104, "Channels 129"},
        {105, "Ports 129"},
        {106, "OutputModule 641"},
        {107, "OutputModuleInfo 129 2 T1 T2"},
        {108, "OutputDeviceInfo 129 2 254 T1 T2"},
        {109, "OutputFilterInfo 16 T0"},
        {110, "Mime T0"},
        {111, "Duration 4294836865"},
        {112, "Parameters 4294836865 8208 48"},
        {113, "Properties 4294836865 at-component"},
        {114, "Quality 129"},
        {115, "Equalizer at-fake"},
        {116, "CodecModule 641"},
        {117, "CodecModuleInfo 129 2 T1 T2"},
        {118, "CodecDeviceInfo 129 2 254 T1 T2"},
        {119, "Mask 4294836865"},
        {120, "DebugLevel 129"},
        {121, "Progress 129 2 -2 T1"},
        {122, "Debug 129 2 T1"},
        {123, "Error 129 -2 T1"},
    };
    EXPECT_EQ(table.size(), 47u); // with OnNotifyMessage, the 48 events
    for (const auto& [code, expected] : table) {
        raised.clear();
        messages = 0;
        if (code == 113 || code == 115) {
            fake.post(code, data, nullptr, nullptr, nullptr, &fake, &p);
        } else {
            fake.post(code, data, "T0", "T1", "T2");
        }
        processEventsUntil([&] { return messages > 0; }, 5000);
        QCoreApplication::processEvents();
        EXPECT_EQ(messages, 1) << code;
        EXPECT_EQ(raised, std::vector<std::string>{expected}) << code;
    }

    // Codes without an event raise OnNotifyMessage only.
    for (uint32_t code : {96u, 97u, 98u, 99u, 72u, 124u, 200u}) {
        raised.clear();
        messages = 0;
        fake.post(code, data, "T0", "T1", "T2");
        processEventsUntil([&] { return messages > 0; }, 5000);
        QCoreApplication::processEvents();
        EXPECT_EQ(messages, 1) << code;
        EXPECT_TRUE(raised.empty()) << code;
    }

    // Messages the library does not recognise raise nothing at all.
    messages = 0;
    fake.postRaw(0x0400, 0, 0);
    fake.postRaw(0x9000 + 78, reinterpret_cast<uintptr_t>(&p), 1);
    processEventsFor(50);
    EXPECT_EQ(messages, 0);
    EXPECT_TRUE(raised.empty());
}

TEST(TXaudioPlayer, ErrorStringAndVersionComeFromTheLibraryAndDestructionDeletesThePlayer) {
    ensureApplication();
    Fake fake("xaudio_3_8");
    {
        TXaudioPlayer p(nullptr);
        p.XaudioPath = fake.path;
        EXPECT_EQ(p.ErrorString(-3), "fake error -3");
        EXPECT_EQ(p.GetVersion(5), 0x030800u);
        fake.clear();
    }
    EXPECT_EQ(fake.log(), "player_delete\n");
}

TEST(TXaudioPlayerWithXaudio, DecodesAndRefusesThroughTheRealLibrary) {
    ensureApplication();
    const std::string dir = testenv::makeDir("component") + "/";
    ASSERT_TRUE(encodeMp3(sine(22050, 1, 1.0, 440.0), dir + "mono.mp3", "-b 64"));
    TXaudioPlayer p(nullptr); // "xaudio.so" from the program directory
    ASSERT_TRUE(p.Init());
    EXPECT_EQ(p.GetVersion(2) >> 8, 0x0308u);
    EXPECT_EQ(p.ErrorString(XA_ERROR_INPUT_NOT_FOUND), "input file not found");

    int state = -1;
    uint32_t frequency = 0;
    int channels = 0;
    std::vector<std::pair<int, int>> nacks;
    p.OnNotifyPlayerState = [&](TXaudioPlayer*, int s) { state = s; };
    p.OnNotifyStreamParameters = [&](TXaudioPlayer*, uint32_t f, int16_t, uint8_t c) {
        frequency = f;
        channels = c;
    };
    p.OnNotifyNack = [&](TXaudioPlayer*, uint8_t c, int16_t e) { nacks.emplace_back(c, e); };

    p.InputOpen(dir + "missing.mp3");
    ASSERT_TRUE(processEventsUntil([&] { return !nacks.empty(); }));
    EXPECT_EQ(nacks[0], std::make_pair(8, int(XA_ERROR_INPUT_NOT_FOUND)));
    nacks.clear();

    p.InputOpen(dir + "mono.mp3");
    p.OutputOpen(dir + "mono.pcm");
    p.Play();
    ASSERT_TRUE(processEventsUntil([&] { return state == 3 || !nacks.empty(); }));
    EXPECT_EQ(state, 3);
    EXPECT_TRUE(nacks.empty());
    EXPECT_EQ(frequency, 22050u);
    EXPECT_EQ(channels, 1);
    Pcm reference;
    ASSERT_TRUE(referenceDecode(dir + "mono.mp3", reference));
    EXPECT_EQ(samplesAfter44(dir + "mono.pcm"), reference.samples);
}

TEST(TXaudioPlayerWithXaudio, DeletedMidDecodeWithNotificationsInFlight) {
    ensureApplication();
    const std::string dir = testenv::makeDir("component-delete") + "/";
    ASSERT_TRUE(encodeMp3(sine(44100, 2, 20.0, 440.0), dir + "long.mp3", "-b 128"));
    int positions = 0;
    auto* p = new TXaudioPlayer(QCoreApplication::instance());
    p->OnNotifyInputPosition = [&](TXaudioPlayer*, uint32_t, uint32_t) { ++positions; };
    p->InputOpen(dir + "long.mp3");
    p->OutputOpen(dir + "long.pcm");
    p->Play();
    processEventsUntil([&] { return positions > 1; }, 5000);
    QThread::msleep(20); // more notifications queue up, not yet delivered
    delete p;
    const int before = positions;
    processEventsFor(50);
    EXPECT_EQ(positions, before) << "an event was raised after the component was deleted";
    EXPECT_FALSE(fileOpenInProcess(dir + "long.pcm"));
}
