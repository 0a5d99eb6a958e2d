#pragma once

// TXaudioPlayer: the component that drives the Xaudio decoder library (xaudio.so).
// It loads the library on first use, checks its interface version (3.8), creates
// one player whose notifications are posted to a hidden window (a QObject receiving
// posted events), turns each command method into one control message, and turns
// each notification back into one of its OnNotify... events. Everything runs on the
// thread that created the component; events are raised only while that thread
// processes its events.

#include <QObject>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "xaudio.h"

namespace platform {
class RuntimeLibrary;
}

namespace codec {

// Loading and creation failures of the component. Carries only its message.
class EXaudioException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TXaudioPlayer;
class XaudioHiddenWindow;

// Event types: the sender, then the notification's fields.
using TNotifyMessageEvent = std::function<void(TXaudioPlayer* Sender, const XA_Message* Msg)>;
using TNotifyEvent = std::function<void(TXaudioPlayer* Sender)>;
using TNotifyAckEvent = std::function<void(TXaudioPlayer* Sender, uint8_t Command)>;
using TNotifyNackEvent = std::function<void(TXaudioPlayer* Sender, uint8_t Command, int16_t Code)>;
using TNotifyPongEvent = std::function<void(TXaudioPlayer* Sender, uint32_t Tag)>;
using TNotifyPlayerStateEvent = std::function<void(TXaudioPlayer* Sender, int State)>;
using TNotifyPlayerModeEvent = std::function<void(TXaudioPlayer* Sender, int Mode)>;
using TNotifyPlayerEnvironmentIntegerEvent =
    std::function<void(TXaudioPlayer* Sender, const std::string& Name, int Value)>;
using TNotifyPlayerEnvironmentStringEvent =
    std::function<void(TXaudioPlayer* Sender, const std::string& Name, const std::string& Value)>;
using TNotifyInputStateEvent = std::function<void(TXaudioPlayer* Sender, int State)>;
using TNotifyInputNameEvent = std::function<void(TXaudioPlayer* Sender, const std::string& Name)>;
using TNotifyInputCapsEvent = std::function<void(TXaudioPlayer* Sender, uint32_t Caps)>;
using TNotifyInputPositionEvent =
    std::function<void(TXaudioPlayer* Sender, uint32_t Offset, uint32_t Range)>;
using TNotifyInputPositionRangeEvent = std::function<void(TXaudioPlayer* Sender, int Range)>;
using TNotifyInputTimecodeEvent = std::function<void(
    TXaudioPlayer* Sender, uint8_t Hours, uint8_t Minutes, uint8_t Seconds, uint8_t Fractions)>;
using TNotifyInputTimecodeGranularityEvent =
    std::function<void(TXaudioPlayer* Sender, uint32_t Granularity)>;
using TNotifyModuleEvent = std::function<void(TXaudioPlayer* Sender, int16_t ID)>;
using TNotifyModuleInfoEvent =
    std::function<void(TXaudioPlayer* Sender, uint8_t ID, uint8_t NbDevices,
                       const std::string& Name, const std::string& Description)>;
using TNotifyDeviceInfoEvent =
    std::function<void(TXaudioPlayer* Sender, uint8_t ModuleID, uint8_t Index, uint8_t Flags,
                       const std::string& Name, const std::string& Description)>;
using TNotifyFilterInfoEvent =
    std::function<void(TXaudioPlayer* Sender, uint8_t ID, const std::string& Name)>;
using TNotifyInputModuleEvent = TNotifyModuleEvent;
using TNotifyInputModuleInfoEvent = TNotifyModuleInfoEvent;
using TNotifyInputDeviceInfoEvent = TNotifyDeviceInfoEvent;
using TNotifyInputFilterInfoEvent = TNotifyFilterInfoEvent;
using TNotifyOutputStateEvent = std::function<void(TXaudioPlayer* Sender, int State)>;
using TNotifyOutputNameEvent = std::function<void(TXaudioPlayer* Sender, const std::string& Name)>;
using TNotifyOutputCapsEvent = std::function<void(TXaudioPlayer* Sender, uint32_t Caps)>;
using TNotifyOutputVolumeEvent = std::function<void(TXaudioPlayer* Sender, uint8_t MasterLevel,
                                                    uint8_t PcmLevel, uint8_t Balance)>;
using TNotifyOutputBalanceEvent = std::function<void(TXaudioPlayer* Sender, uint8_t Balance)>;
using TNotifyOutputPcmLevelEvent = std::function<void(TXaudioPlayer* Sender, uint8_t PcmLevel)>;
using TNotifyOutputMasterLevelEvent =
    std::function<void(TXaudioPlayer* Sender, uint8_t MasterLevel)>;
using TNotifyOutputChannelsEvent = std::function<void(TXaudioPlayer* Sender, uint8_t Channels)>;
using TNotifyOutputPortsEvent = std::function<void(TXaudioPlayer* Sender, uint32_t Ports)>;
using TNotifyOutputModuleEvent = TNotifyModuleEvent;
using TNotifyOutputModuleInfoEvent = TNotifyModuleInfoEvent;
using TNotifyOutputDeviceInfoEvent = TNotifyDeviceInfoEvent;
using TNotifyOutputFilterInfoEvent = TNotifyFilterInfoEvent;
using TNotifyStreamMimeTypeEvent =
    std::function<void(TXaudioPlayer* Sender, const std::string& MimeType)>;
using TNotifyStreamDurationEvent = std::function<void(TXaudioPlayer* Sender, uint32_t Duration)>;
using TNotifyStreamParametersEvent = std::function<void(TXaudioPlayer* Sender, uint32_t Frequency,
                                                        int16_t Bitrate, uint8_t NbChannels)>;
using TNotifyStreamPropertiesEvent = std::function<void(
    TXaudioPlayer* Sender, uint32_t NbProperties, const XA_Property* Properties)>;
using TNotifyCodecQualityEvent = std::function<void(TXaudioPlayer* Sender, uint8_t Quality)>;
using TNotifyCodecEqualizerEvent =
    std::function<void(TXaudioPlayer* Sender, const XA_EqualizerInfo* Equalizer)>;
using TNotifyCodecModuleEvent = TNotifyModuleEvent;
using TNotifyCodecModuleInfoEvent = TNotifyModuleInfoEvent;
using TNotifyCodecDeviceInfoEvent = TNotifyDeviceInfoEvent;
using TNotifyNotificationMaskEvent = std::function<void(TXaudioPlayer* Sender, uint32_t Mask)>;
using TNotifyDebugLevelEvent = std::function<void(TXaudioPlayer* Sender, uint8_t Level)>;
using TNotifyProgressEvent = std::function<void(TXaudioPlayer* Sender, uint8_t Source, uint8_t Code,
                                                int16_t Value, const std::string& Msg)>;
using TNotifyDebugEvent = std::function<void(TXaudioPlayer* Sender, uint8_t Source, uint8_t Level,
                                             const std::string& Msg)>;
using TNotifyErrorEvent = std::function<void(TXaudioPlayer* Sender, uint8_t Source, int16_t Code,
                                             const std::string& Msg)>;

class TXaudioPlayer : public QObject {
    Q_OBJECT

public:
    // Creates the hidden window; the library is loaded only on first use. Raises
    // EXaudioException("Cannot Create Hidden Window") without an application object.
    explicit TXaudioPlayer(QObject* Owner);
    // Deletes the player, unloads the library, destroys the hidden window.
    ~TXaudioPlayer() override;
    TXaudioPlayer(const TXaudioPlayer&) = delete;
    TXaudioPlayer& operator=(const TXaudioPlayer&) = delete;

    // File name of the library: a bare name is looked for in the program directory
    // first, then through the system's search.
    std::string XaudioPath = "xaudio.so";

    // Makes sure the player exists (loading the library, testing its version,
    // creating the player); true when it does. May raise EXaudioException.
    bool Init();
    // The library's text for an error code ("" without a player). May raise.
    std::string ErrorString(int Code);
    // xaudio_get_version(Selector) with a player, else 0. Never loads anything.
    uint32_t GetVersion(uint8_t Selector);
    // With a player applied at once; without one kept for its creation, where any
    // value but 3 is applied right after the player is made.
    void SetPriority(uint32_t Value);
    uint32_t GetPriority();

    // Command methods: each makes sure the player exists (may raise), then sends one
    // control message. Get... methods are requests answered by a notification.
    void Synchronize();
    void Ping(uint32_t Tag);
    void Play();
    void Pause();
    void Stop();
    void InputSeek(uint32_t Offset, uint32_t Range);
    void InputOpen(const std::string& Name);
    void InputClose();
    void InputSendMessage(uint16_t Type, const void* Data, uint32_t Size);
    void InputAddFilter(const std::string& Name, int N);
    void InputRemoveFilter(const std::string& Name, int N);
    void InputFilterList();
    void InputModuleRegister(const std::string& Name);
    void InputModuleQuery(int ID);
    void InputModulesList();
    void OutputOpen(const std::string& Name);
    void OutputClose();
    void OutputSendMessage(uint16_t Type, const void* Data, uint32_t Size);
    void OutputMute();
    void OutputUnmute();
    void OutputReset();
    void OutputDrain();
    void OutputAddFilter(const std::string& Name, int N);
    void OutputRemoveFilter(const std::string& Name, int N);
    void OutputFilterList();
    void OutputModuleRegister(const std::string& Name);
    void OutputModuleQuery(int ID);
    void OutputModulesList();
    void CodecSendMessage(uint16_t Type, const void* Data, uint32_t Size);
    void CodecModuleRegister(const std::string& Name);
    void CodecModuleQuery(int ID);
    void CodecModulesList();
    void SetPlayerMode(uint32_t Mode);
    void GetPlayerMode();
    void SetPlayerEnvironmentInteger(const std::string& Name, int Value);
    void GetPlayerEnvironmentInteger(const std::string& Name);
    void SetPlayerEnvironmentString(const std::string& Name, const std::string& Value);
    void GetPlayerEnvironmentString(const std::string& Name);
    void UnsetPlayerEnvironment(const std::string& Name);
    void SetInputName(const std::string& Name);
    void GetInputName();
    void SetInputModule(int ID);
    void GetInputModule();
    void SetInputPositionRange(int Range);
    void GetInputPositionRange();
    void SetInputTimecodeGranularity(uint32_t Granularity);
    void GetInputTimecodeGranularity();
    void SetOutputName(const std::string& Name);
    void GetOutputName();
    void SetOutputModule(int ID);
    void GetOutputModule();
    void SetOutputVolume(int A, int B, int C);
    void GetOutputVolume();
    void SetOutputChannels(uint32_t Channels);
    void GetOutputChannels();
    void SetOutputPorts(uint32_t Ports);
    void GetOutputPorts();
    void SetCodecQuality(uint8_t Quality);
    void GetCodecQuality();
    void SetCodecEqualizer(const XA_EqualizerInfo* Info);
    void GetCodecEqualizer();
    void SetNotificationMask(uint32_t Mask);
    void GetNotificationMask();
    void SetDebugLevel(uint32_t Level);
    void GetDebugLevel();

    // Blocks the calling thread until the library has posted a notification since the
    // last wait (returns at once if one is already waiting to be processed), or until
    // TimeoutMs passed. Processes nothing itself: the caller processes events next.
    // True when a notification was posted.
    bool WaitForNotification(int TimeoutMs);

    // Handles, now, every message already posted to the hidden window (and only
    // those), raising their events: brings the owner up to date with what the player
    // has said without processing any other event.
    void ProcessPostedNotifications();

    // The hidden window's procedure: runs for every message posted to the window.
    void OnWindowsMessage(uint32_t Message, uintptr_t WParam, intptr_t LParam);

    // Events, each may be unset.
    TNotifyMessageEvent OnNotifyMessage;
    TNotifyEvent OnNotifyReady;
    TNotifyAckEvent OnNotifyAck;
    TNotifyNackEvent OnNotifyNack;
    TNotifyPongEvent OnNotifyPong;
    TNotifyEvent OnNotifyExited;
    TNotifyPlayerStateEvent OnNotifyPlayerState;
    TNotifyPlayerModeEvent OnNotifyPlayerMode;
    TNotifyPlayerEnvironmentIntegerEvent OnNotifyPlayerEnvironmentInteger;
    TNotifyPlayerEnvironmentStringEvent OnNotifyPlayerEnvironmentString;
    TNotifyInputStateEvent OnNotifyInputState;
    TNotifyInputNameEvent OnNotifyInputName;
    TNotifyInputCapsEvent OnNotifyInputCaps;
    TNotifyInputPositionEvent OnNotifyInputPosition;
    TNotifyInputPositionRangeEvent OnNotifyInputPositionRange;
    TNotifyInputTimecodeEvent OnNotifyInputTimecode;
    TNotifyInputTimecodeGranularityEvent OnNotifyInputTimecodeGranularity;
    TNotifyInputModuleEvent OnNotifyInputModule;
    TNotifyInputModuleInfoEvent OnNotifyInputModuleInfo;
    TNotifyInputDeviceInfoEvent OnNotifyInputDeviceInfo;
    TNotifyInputFilterInfoEvent OnNotifyInputFilterInfo;
    TNotifyOutputStateEvent OnNotifyOutputState;
    TNotifyOutputNameEvent OnNotifyOutputName;
    TNotifyOutputCapsEvent OnNotifyOutputCaps;
    TNotifyOutputVolumeEvent OnNotifyOutputVolume;
    TNotifyOutputBalanceEvent OnNotifyOutputBalance;
    TNotifyOutputPcmLevelEvent OnNotifyOutputPcmLevel;
    TNotifyOutputMasterLevelEvent OnNotifyOutputMasterLevel;
    TNotifyOutputChannelsEvent OnNotifyOutputChannels;
    TNotifyOutputPortsEvent OnNotifyOutputPorts;
    TNotifyOutputModuleEvent OnNotifyOutputModule;
    TNotifyOutputModuleInfoEvent OnNotifyOutputModuleInfo;
    TNotifyOutputDeviceInfoEvent OnNotifyOutputDeviceInfo;
    TNotifyOutputFilterInfoEvent OnNotifyOutputFilterInfo;
    TNotifyStreamMimeTypeEvent OnNotifyStreamMimeType;
    TNotifyStreamDurationEvent OnNotifyStreamDuration;
    TNotifyStreamParametersEvent OnNotifyStreamParameters;
    TNotifyStreamPropertiesEvent OnNotifyStreamProperties;
    TNotifyCodecModuleEvent OnNotifyCodecModule;
    TNotifyCodecModuleInfoEvent OnNotifyCodecModuleInfo;
    TNotifyCodecDeviceInfoEvent OnNotifyCodecDeviceInfo;
    TNotifyCodecQualityEvent OnNotifyCodecQuality;
    TNotifyCodecEqualizerEvent OnNotifyCodecEqualizer;
    TNotifyNotificationMaskEvent OnNotifyNotificationMask;
    TNotifyDebugLevelEvent OnNotifyDebugLevel;
    TNotifyProgressEvent OnNotifyProgress;
    TNotifyDebugEvent OnNotifyDebug;
    TNotifyErrorEvent OnNotifyError;

private:
    bool CheckPlayerInstance();
    void LoadExternalInterface();
    void ResetExternalInterface();
    int32_t TranslateMessage(XA_Message* Msg, uint32_t Message, uintptr_t WParam, intptr_t LParam);
    void DispatchNotification(const XA_Message& Msg);

    // Senders: make sure the player exists, then send.
    void SendN(int32_t Code);
    void SendP(int32_t Code, const void* Pointer);
    void SendS(int32_t Code, const std::string& Text);
    void SendSS(int32_t Code, const std::string& Text1, const std::string& Text2);
    void SendSI(int32_t Code, const std::string& Text, int32_t Value);
    void SendIPI(int32_t Code, int32_t Value1, const void* Pointer, int32_t Value2);
    void SendI(int32_t Code, int32_t Value);
    void SendII(int32_t Code, int32_t Value1, int32_t Value2);
    void SendIII(int32_t Code, int32_t Value1, int32_t Value2, int32_t Value3);

    void* player_ = nullptr;
    uint32_t priority_ = 3;
    MessageWindow* window_ = nullptr;
    std::unique_ptr<XaudioHiddenWindow> hiddenWindow_;
    std::unique_ptr<platform::RuntimeLibrary> library_;

    TPlayerNew player_new_ = nullptr;
    TPlayerDelete player_delete_ = nullptr;
    TPlayerSetPriority player_set_priority_ = nullptr;
    TPlayerGetPriority player_get_priority_ = nullptr;
    TXaudioErrorString xaudio_error_string_ = nullptr;
    TXaudioGetVersion xaudio_get_version_ = nullptr;
    TControlMessageSend_N control_message_send_N_ = nullptr;
    TControlMessageSend_P control_message_send_P_ = nullptr;
    TControlMessageSend_S control_message_send_S_ = nullptr;
    TControlMessageSend_SS control_message_send_SS_ = nullptr;
    TControlMessageSend_SI control_message_send_SI_ = nullptr;
    TControlMessageSend_IPI control_message_send_IPI_ = nullptr;
    TControlMessageSend_I control_message_send_I_ = nullptr;
    TControlMessageSend_II control_message_send_II_ = nullptr;
    TControlMessageSend_III control_message_send_III_ = nullptr;
    TControlMessageSend_IIII control_message_send_IIII_ = nullptr;
    TControlWin32ParamsToMessage control_win32_params_to_message_ = nullptr;
};

} // namespace codec
