#include "codec/XaudioPlayer.h"

#include <QCoreApplication>
#include <QEvent>
#include <QPointer>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "platform/RuntimeLibrary.h"

namespace codec {
namespace {

// The 17 entry points, in the order they are looked up.
const char* const kEntryPoints[] = {
    "player_new",
    "player_delete",
    "player_set_priority",
    "player_get_priority",
    "xaudio_error_string",
    "xaudio_get_version",
    "control_message_send_N",
    "control_message_send_P",
    "control_message_send_S",
    "control_message_send_SS",
    "control_message_send_SI",
    "control_message_send_IPI",
    "control_message_send_I",
    "control_message_send_II",
    "control_message_send_III",
    "control_message_send_IIII",
    "control_win32_params_to_message",
};

constexpr uint32_t kExpectedMajor = 3;
constexpr uint32_t kExpectedMinor = 8;
// Priority value that leaves the library's own setting alone.
constexpr uint32_t kDefaultPriority = 3;
// Messages from this number up may be the library's; below it they are the window's.
constexpr uint32_t kFirstLibraryMessage = 0x9000;

QEvent::Type windowMessageEventType() {
    static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

// One posted window message.
class WindowMessageEvent : public QEvent {
public:
    WindowMessageEvent(uint32_t message, uintptr_t wparam, intptr_t lparam)
        : QEvent(windowMessageEventType()), message(message), wparam(wparam), lparam(lparam) {}
    const uint32_t message;
    const uintptr_t wparam;
    const intptr_t lparam;
};

std::string textAt(const XA_Message& m, unsigned index) {
    return xa_message_text(&m, index);
}

} // namespace

// The hidden window: a QObject on the component's thread. Its MessageWindow handle
// is what the library posts to, from any thread; each post becomes a posted event
// that runs the component's window procedure on the window's thread.
class XaudioHiddenWindow : public QObject {
public:
    explicit XaudioHiddenWindow(TXaudioPlayer* owner) : owner_(owner) {
        handle_.post = &XaudioHiddenWindow::post;
        handle_.window = this;
    }
    MessageWindow* handle() { return &handle_; }

    bool waitForPost(int timeoutMs) {
        std::unique_lock lock(mutex_);
        bool posted = posted_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                       [&] { return postCount_ != waitedCount_; });
        waitedCount_ = postCount_;
        return posted;
    }

protected:
    bool event(QEvent* e) override {
        if (e->type() == windowMessageEventType()) {
            auto* m = static_cast<WindowMessageEvent*>(e);
            owner_->OnWindowsMessage(m->message, m->wparam, m->lparam);
            return true;
        }
        return QObject::event(e);
    }

private:
    struct Handle : MessageWindow {
        XaudioHiddenWindow* window = nullptr;
    };

    static void post(MessageWindow* handle, uint32_t message, uintptr_t wparam, intptr_t lparam) {
        // postEvent is safe from any thread; the window outlives every player that
        // posts to it.
        XaudioHiddenWindow* window = static_cast<Handle*>(handle)->window;
        QCoreApplication::postEvent(window, new WindowMessageEvent(message, wparam, lparam));
        {
            std::lock_guard lock(window->mutex_);
            ++window->postCount_;
        }
        window->posted_.notify_all();
    }

    TXaudioPlayer* const owner_;
    Handle handle_;
    std::mutex mutex_;
    std::condition_variable posted_;
    uint64_t postCount_ = 0;
    uint64_t waitedCount_ = 0;
};

TXaudioPlayer::TXaudioPlayer(QObject* Owner) : QObject(Owner) {
    // Posted events need an application object to be delivered.
    if (!QCoreApplication::instance()) {
        throw EXaudioException("Cannot Create Hidden Window");
    }
    hiddenWindow_ = std::make_unique<XaudioHiddenWindow>(this);
    window_ = hiddenWindow_->handle();
    ResetExternalInterface();
}

TXaudioPlayer::~TXaudioPlayer() {
    if (player_) {
        void* player = player_;
        player_ = nullptr;
        player_delete_(player);
    }
    ResetExternalInterface();
    window_ = nullptr;
    hiddenWindow_.reset();
}

void TXaudioPlayer::ResetExternalInterface() {
    library_.reset();
    player_new_ = nullptr;
    player_delete_ = nullptr;
    player_set_priority_ = nullptr;
    player_get_priority_ = nullptr;
    xaudio_error_string_ = nullptr;
    xaudio_get_version_ = nullptr;
    control_message_send_N_ = nullptr;
    control_message_send_P_ = nullptr;
    control_message_send_S_ = nullptr;
    control_message_send_SS_ = nullptr;
    control_message_send_SI_ = nullptr;
    control_message_send_IPI_ = nullptr;
    control_message_send_I_ = nullptr;
    control_message_send_II_ = nullptr;
    control_message_send_III_ = nullptr;
    control_message_send_IIII_ = nullptr;
    control_win32_params_to_message_ = nullptr;
}

void TXaudioPlayer::LoadExternalInterface() {
    std::vector<std::string> names(std::begin(kEntryPoints), std::end(kEntryPoints));
    auto library = std::make_unique<platform::RuntimeLibrary>(XaudioPath, names);
    if (!library->isLoaded()) {
        // Tell a library that cannot be loaded from one that lacks an entry point,
        // and name the first entry point missing in lookup order.
        platform::RuntimeLibrary bare(XaudioPath, std::vector<std::string>{});
        if (!bare.isLoaded()) {
            throw EXaudioException("Cannot Load Xaudio DLL (" + XaudioPath + ")");
        }
        for (const std::string& name : names) {
            platform::RuntimeLibrary probe(bare.path(), std::vector<std::string>{name});
            if (!probe.isLoaded()) {
                throw EXaudioException("Cannot Find Symbol " + name + " in Xaudio DLL");
            }
        }
        throw EXaudioException("Cannot Load Xaudio DLL (" + XaudioPath + ")");
    }
    player_new_ = library->entry<TPlayerNew>("player_new");
    player_delete_ = library->entry<TPlayerDelete>("player_delete");
    player_set_priority_ = library->entry<TPlayerSetPriority>("player_set_priority");
    player_get_priority_ = library->entry<TPlayerGetPriority>("player_get_priority");
    xaudio_error_string_ = library->entry<TXaudioErrorString>("xaudio_error_string");
    xaudio_get_version_ = library->entry<TXaudioGetVersion>("xaudio_get_version");
    control_message_send_N_ = library->entry<TControlMessageSend_N>("control_message_send_N");
    control_message_send_P_ = library->entry<TControlMessageSend_P>("control_message_send_P");
    control_message_send_S_ = library->entry<TControlMessageSend_S>("control_message_send_S");
    control_message_send_SS_ = library->entry<TControlMessageSend_SS>("control_message_send_SS");
    control_message_send_SI_ = library->entry<TControlMessageSend_SI>("control_message_send_SI");
    control_message_send_IPI_ = library->entry<TControlMessageSend_IPI>("control_message_send_IPI");
    control_message_send_I_ = library->entry<TControlMessageSend_I>("control_message_send_I");
    control_message_send_II_ = library->entry<TControlMessageSend_II>("control_message_send_II");
    control_message_send_III_ = library->entry<TControlMessageSend_III>("control_message_send_III");
    control_message_send_IIII_ =
        library->entry<TControlMessageSend_IIII>("control_message_send_IIII");
    control_win32_params_to_message_ =
        library->entry<TControlWin32ParamsToMessage>("control_win32_params_to_message");
    library_ = std::move(library);
}

bool TXaudioPlayer::CheckPlayerInstance() {
    if (player_) {
        return true;
    }
    if (!library_) {
        LoadExternalInterface();
    }
    if (!library_) {
        return false;
    }
    const uint32_t version = xaudio_get_version_(2);
    const uint32_t major = (version >> 16) & 0xFF;
    const uint32_t minor = (version >> 8) & 0xFF;
    if (major != kExpectedMajor || minor != kExpectedMinor) {
        // The library stays loaded; no player is created.
        throw EXaudioException("Xaudio DLL API Mismatch\nExpected " +
                               std::to_string(kExpectedMajor) + "." +
                               std::to_string(kExpectedMinor) + ", Got " + std::to_string(major) +
                               "." + std::to_string(minor));
    }
    if (player_new_(&player_, &window_) != 0) {
        player_ = nullptr;
        throw EXaudioException("Cannot Start Xaudio Player");
    }
    if (priority_ != kDefaultPriority) {
        player_set_priority_(player_, static_cast<int32_t>(priority_));
    }
    return true;
}

bool TXaudioPlayer::Init() {
    return CheckPlayerInstance();
}

void TXaudioPlayer::ProcessPostedNotifications() {
    QCoreApplication::sendPostedEvents(hiddenWindow_.get(), windowMessageEventType());
}

bool TXaudioPlayer::WaitForNotification(int TimeoutMs) {
    return hiddenWindow_->waitForPost(TimeoutMs);
}

std::string TXaudioPlayer::ErrorString(int Code) {
    CheckPlayerInstance();
    if (!player_) {
        return std::string();
    }
    const char* text = xaudio_error_string_(Code);
    return text ? std::string(text) : std::string();
}

uint32_t TXaudioPlayer::GetVersion(uint8_t Selector) {
    return player_ ? xaudio_get_version_(Selector) : 0;
}

void TXaudioPlayer::SetPriority(uint32_t Value) {
    priority_ = Value;
    if (player_) {
        player_set_priority_(player_, static_cast<int32_t>(Value));
    }
}

uint32_t TXaudioPlayer::GetPriority() {
    return player_ ? static_cast<uint32_t>(player_get_priority_(player_)) : priority_;
}

// ---- Senders --------------------------------------------------------------------

void TXaudioPlayer::SendN(int32_t Code) {
    if (CheckPlayerInstance()) {
        control_message_send_N_(player_, Code);
    }
}

void TXaudioPlayer::SendP(int32_t Code, const void* Pointer) {
    if (CheckPlayerInstance()) {
        control_message_send_P_(player_, Code, Pointer);
    }
}

void TXaudioPlayer::SendS(int32_t Code, const std::string& Text) {
    if (CheckPlayerInstance()) {
        control_message_send_S_(player_, Code, Text.c_str());
    }
}

void TXaudioPlayer::SendSS(int32_t Code, const std::string& Text1, const std::string& Text2) {
    if (CheckPlayerInstance()) {
        control_message_send_SS_(player_, Code, Text1.c_str(), Text2.c_str());
    }
}

void TXaudioPlayer::SendSI(int32_t Code, const std::string& Text, int32_t Value) {
    if (CheckPlayerInstance()) {
        control_message_send_SI_(player_, Code, Text.c_str(), Value);
    }
}

void TXaudioPlayer::SendIPI(int32_t Code, int32_t Value1, const void* Pointer, int32_t Value2) {
    if (CheckPlayerInstance()) {
        control_message_send_IPI_(player_, Code, Value1, Pointer, Value2);
    }
}

void TXaudioPlayer::SendI(int32_t Code, int32_t Value) {
    if (CheckPlayerInstance()) {
        control_message_send_I_(player_, Code, Value);
    }
}

void TXaudioPlayer::SendII(int32_t Code, int32_t Value1, int32_t Value2) {
    if (CheckPlayerInstance()) {
        control_message_send_II_(player_, Code, Value1, Value2);
    }
}

void TXaudioPlayer::SendIII(int32_t Code, int32_t Value1, int32_t Value2, int32_t Value3) {
    if (CheckPlayerInstance()) {
        control_message_send_III_(player_, Code, Value1, Value2, Value3);
    }
}

// ---- Command methods ------------------------------------------------------------

void TXaudioPlayer::Synchronize() {
    SendN(2);
}
void TXaudioPlayer::Ping(uint32_t Tag) {
    SendI(3, static_cast<int32_t>(Tag));
}
void TXaudioPlayer::Play() {
    SendN(4);
}
void TXaudioPlayer::Pause() {
    SendN(5);
}
void TXaudioPlayer::Stop() {
    SendN(6);
}
void TXaudioPlayer::InputSeek(uint32_t Offset, uint32_t Range) {
    SendII(7, static_cast<int32_t>(Offset), static_cast<int32_t>(Range));
}
void TXaudioPlayer::InputOpen(const std::string& Name) {
    SendS(8, Name);
}
void TXaudioPlayer::InputClose() {
    SendN(9);
}
void TXaudioPlayer::InputSendMessage(uint16_t Type, const void* Data, uint32_t Size) {
    SendIPI(10, Type, Data, static_cast<int32_t>(Size));
}
void TXaudioPlayer::InputAddFilter(const std::string& Name, int N) {
    SendSI(11, Name, N);
}
void TXaudioPlayer::InputRemoveFilter(const std::string& Name, int N) {
    SendSI(12, Name, N);
}
void TXaudioPlayer::InputFilterList() {
    SendN(13);
}
void TXaudioPlayer::InputModuleRegister(const std::string& Name) {
    SendS(14, Name);
}
void TXaudioPlayer::InputModuleQuery(int ID) {
    SendI(15, ID);
}
void TXaudioPlayer::InputModulesList() {
    SendN(16);
}
void TXaudioPlayer::OutputOpen(const std::string& Name) {
    SendS(17, Name);
}
void TXaudioPlayer::OutputClose() {
    SendN(18);
}
void TXaudioPlayer::OutputSendMessage(uint16_t Type, const void* Data, uint32_t Size) {
    SendIPI(19, Type, Data, static_cast<int32_t>(Size));
}
void TXaudioPlayer::OutputMute() {
    SendN(20);
}
void TXaudioPlayer::OutputUnmute() {
    SendN(21);
}
void TXaudioPlayer::OutputReset() {
    SendN(22);
}
void TXaudioPlayer::OutputDrain() {
    SendN(23);
}
void TXaudioPlayer::OutputAddFilter(const std::string& Name, int N) {
    SendSI(24, Name, N);
}
void TXaudioPlayer::OutputRemoveFilter(const std::string& Name, int N) {
    SendSI(25, Name, N);
}
void TXaudioPlayer::OutputFilterList() {
    SendN(26);
}
void TXaudioPlayer::OutputModuleRegister(const std::string& Name) {
    SendS(27, Name);
}
void TXaudioPlayer::OutputModuleQuery(int ID) {
    SendI(28, ID);
}
void TXaudioPlayer::OutputModulesList() {
    SendN(29);
}
void TXaudioPlayer::CodecSendMessage(uint16_t Type, const void* Data, uint32_t Size) {
    SendIPI(30, Type, Data, static_cast<int32_t>(Size));
}
void TXaudioPlayer::CodecModuleRegister(const std::string& Name) {
    SendS(31, Name);
}
void TXaudioPlayer::CodecModuleQuery(int ID) {
    SendI(32, ID);
}
void TXaudioPlayer::CodecModulesList() {
    SendN(33);
}
void TXaudioPlayer::SetPlayerMode(uint32_t Mode) {
    SendI(34, static_cast<int32_t>(Mode));
}
void TXaudioPlayer::GetPlayerMode() {
    SendN(35);
}
void TXaudioPlayer::SetPlayerEnvironmentInteger(const std::string& Name, int Value) {
    SendSI(36, Name, Value);
}
void TXaudioPlayer::GetPlayerEnvironmentInteger(const std::string& Name) {
    SendS(37, Name);
}
void TXaudioPlayer::SetPlayerEnvironmentString(const std::string& Name, const std::string& Value) {
    SendSS(38, Name, Value);
}
void TXaudioPlayer::GetPlayerEnvironmentString(const std::string& Name) {
    SendS(39, Name);
}
void TXaudioPlayer::UnsetPlayerEnvironment(const std::string& Name) {
    SendS(40, Name);
}
void TXaudioPlayer::SetInputName(const std::string& Name) {
    SendS(41, Name);
}
void TXaudioPlayer::GetInputName() {
    SendN(42);
}
void TXaudioPlayer::SetInputModule(int ID) {
    SendI(43, ID);
}
void TXaudioPlayer::GetInputModule() {
    SendN(44);
}
void TXaudioPlayer::SetInputPositionRange(int Range) {
    SendI(45, Range);
}
void TXaudioPlayer::GetInputPositionRange() {
    SendN(46);
}
void TXaudioPlayer::SetInputTimecodeGranularity(uint32_t Granularity) {
    SendI(47, static_cast<int32_t>(Granularity));
}
void TXaudioPlayer::GetInputTimecodeGranularity() {
    SendN(48);
}
void TXaudioPlayer::SetOutputName(const std::string& Name) {
    SendS(49, Name);
}
void TXaudioPlayer::GetOutputName() {
    SendN(50);
}
void TXaudioPlayer::SetOutputModule(int ID) {
    SendI(51, ID);
}
void TXaudioPlayer::GetOutputModule() {
    SendN(52);
}
void TXaudioPlayer::SetOutputVolume(int A, int B, int C) {
    SendIII(57, A, B, C);
}
void TXaudioPlayer::GetOutputVolume() {
    SendN(58);
}
void TXaudioPlayer::SetOutputChannels(uint32_t Channels) {
    SendI(59, static_cast<int32_t>(Channels));
}
void TXaudioPlayer::GetOutputChannels() {
    SendN(60);
}
void TXaudioPlayer::SetOutputPorts(uint32_t Ports) {
    SendI(61, static_cast<int32_t>(Ports));
}
void TXaudioPlayer::GetOutputPorts() {
    SendN(62);
}
void TXaudioPlayer::SetCodecQuality(uint8_t Quality) {
    SendI(63, static_cast<int32_t>(Quality));
}
void TXaudioPlayer::GetCodecQuality() {
    SendN(64);
}
void TXaudioPlayer::SetCodecEqualizer(const XA_EqualizerInfo* Info) {
    SendP(65, Info);
}
void TXaudioPlayer::GetCodecEqualizer() {
    SendN(66);
}
void TXaudioPlayer::SetNotificationMask(uint32_t Mask) {
    SendI(69, static_cast<int32_t>(Mask));
}
void TXaudioPlayer::GetNotificationMask() {
    SendN(70);
}
void TXaudioPlayer::SetDebugLevel(uint32_t Level) {
    SendI(71, static_cast<int32_t>(Level));
}
void TXaudioPlayer::GetDebugLevel() {
    SendN(72);
}

// ---- Notifications --------------------------------------------------------------

int32_t TXaudioPlayer::TranslateMessage(XA_Message* Msg, uint32_t Message, uintptr_t WParam,
                                        intptr_t LParam) {
    if (!player_) {
        return -1;
    }
    return control_win32_params_to_message_(player_, Msg, Message, WParam, LParam);
}

void TXaudioPlayer::OnWindowsMessage(uint32_t Message, uintptr_t WParam, intptr_t LParam) {
    // A message below the library's range would get the window's default handling
    // here; a posted message nobody knows has none to do.
    XA_Message msg{};
    if (TranslateMessage(&msg, Message, WParam, LParam) != 0) {
        return;
    }
    // A handler may delete the component (for example by ending the application);
    // stop raising events once it is gone.
    QPointer<TXaudioPlayer> alive(this);
    if (OnNotifyMessage) {
        OnNotifyMessage(this, &msg);
        if (!alive) {
            return;
        }
    }
    DispatchNotification(msg);
}

void TXaudioPlayer::DispatchNotification(const XA_Message& m) {
    auto b = [&](unsigned i) { return xa_message_byte(&m, i); };
    auto w = [&](unsigned i) { return xa_message_word(&m, i); };
    auto d = [&](unsigned i) { return xa_message_value(&m, i); };
    auto raise = [](const auto& event, auto&&... args) {
        if (event) {
            event(std::forward<decltype(args)>(args)...);
        }
    };
    switch (m.code) {
    case 73:
        raise(OnNotifyReady, this);
        break;
    case 74:
        raise(OnNotifyAck, this, b(0));
        break;
    case 75:
        raise(OnNotifyNack, this, b(0), static_cast<int16_t>(w(2)));
        break;
    case 76:
        raise(OnNotifyPong, this, d(0));
        break;
    case 77:
        raise(OnNotifyExited, this);
        break;
    case 78:
        raise(OnNotifyPlayerState, this, static_cast<int>(b(0)));
        break;
    case 79:
        raise(OnNotifyPlayerMode, this, static_cast<int>(d(0)));
        break;
    case 80:
        raise(OnNotifyPlayerEnvironmentInteger, this, textAt(m, 0), static_cast<int>(d(1)));
        break;
    case 81:
        raise(OnNotifyPlayerEnvironmentString, this, textAt(m, 0), textAt(m, 1));
        break;
    case 82:
        raise(OnNotifyInputState, this, static_cast<int>(b(0)));
        break;
    case 83:
        raise(OnNotifyInputName, this, textAt(m, 0));
        break;
    case 84:
        raise(OnNotifyInputCaps, this, d(0));
        break;
    case 85:
        raise(OnNotifyInputPosition, this, d(0), d(1));
        break;
    case 86:
        raise(OnNotifyInputPositionRange, this, static_cast<int>(d(0)));
        break;
    case 87:
        raise(OnNotifyInputTimecode, this, b(0), b(1), b(2), b(3));
        break;
    case 88:
        raise(OnNotifyInputTimecodeGranularity, this, d(0));
        break;
    case 89:
        raise(OnNotifyInputModule, this, static_cast<int16_t>(w(0)));
        break;
    case 90:
        raise(OnNotifyInputModuleInfo, this, b(0), b(1), textAt(m, 1), textAt(m, 2));
        break;
    case 91:
        raise(OnNotifyInputDeviceInfo, this, b(0), b(1), b(2), textAt(m, 1), textAt(m, 2));
        break;
    case 92:
        raise(OnNotifyInputFilterInfo, this, static_cast<uint8_t>(d(1) & 0xFF), textAt(m, 0));
        break;
    case 93:
        raise(OnNotifyOutputState, this, static_cast<int>(b(0)));
        break;
    case 94:
        raise(OnNotifyOutputName, this, textAt(m, 0));
        break;
    case 95:
        raise(OnNotifyOutputCaps, this, d(0));
        break;
    case 100:
        raise(OnNotifyOutputVolume, this, b(0), b(1), b(2));
        break;
    case 101:
        raise(OnNotifyOutputBalance, this, b(2));
        break;
    case 102:
        raise(OnNotifyOutputPcmLevel, this, b(1));
        break;
    case 103:
        raise(OnNotifyOutputMasterLevel, this, b(0));
        break;
    case 104:
        raise(OnNotifyOutputChannels, this, b(0));
        break;
    case 105:
        raise(OnNotifyOutputPorts, this, static_cast<uint32_t>(b(0)));
        break;
    case 106:
        raise(OnNotifyOutputModule, this, static_cast<int16_t>(w(0)));
        break;
    case 107:
        raise(OnNotifyOutputModuleInfo, this, b(0), b(1), textAt(m, 1), textAt(m, 2));
        break;
    case 108:
        raise(OnNotifyOutputDeviceInfo, this, b(0), b(1), b(2), textAt(m, 1), textAt(m, 2));
        break;
    case 109:
        raise(OnNotifyOutputFilterInfo, this, static_cast<uint8_t>(d(1) & 0xFF), textAt(m, 0));
        break;
    case 110:
        raise(OnNotifyStreamMimeType, this, textAt(m, 0));
        break;
    case 111:
        raise(OnNotifyStreamDuration, this, d(0));
        break;
    case 112:
        raise(OnNotifyStreamParameters, this, d(0), static_cast<int16_t>(w(4)), b(6));
        break;
    case 113:
        raise(OnNotifyStreamProperties, this, d(0),
              static_cast<const XA_Property*>(xa_message_pointer(&m, 1)));
        break;
    case 114:
        raise(OnNotifyCodecQuality, this, b(0));
        break;
    case 115:
        raise(OnNotifyCodecEqualizer, this,
              static_cast<const XA_EqualizerInfo*>(xa_message_pointer(&m, 0)));
        break;
    case 116:
        raise(OnNotifyCodecModule, this, static_cast<int16_t>(w(0)));
        break;
    case 117:
        raise(OnNotifyCodecModuleInfo, this, b(0), b(1), textAt(m, 1), textAt(m, 2));
        break;
    case 118:
        raise(OnNotifyCodecDeviceInfo, this, b(0), b(1), b(2), textAt(m, 1), textAt(m, 2));
        break;
    case 119:
        raise(OnNotifyNotificationMask, this, d(0));
        break;
    case 120:
        raise(OnNotifyDebugLevel, this, b(0));
        break;
    case 121:
        raise(OnNotifyProgress, this, b(0), b(1), static_cast<int16_t>(w(2)), textAt(m, 1));
        break;
    case 122:
        raise(OnNotifyDebug, this, b(0), b(1), textAt(m, 1));
        break;
    case 123:
        raise(OnNotifyError, this, b(0), static_cast<int16_t>(w(2)), textAt(m, 1));
        break;
    default:
        // 96 to 99 and codes outside 73 to 123 raise nothing further.
        break;
    }
}

} // namespace codec
