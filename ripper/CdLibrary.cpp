#include "ripper/CdLibrary.h"

namespace ripper {

int32_t CdLibrary::GetCDList(DriveList* list) {
    return ::GetCDList(list);
}

HCDROM CdLibrary::GetCDHandle(GETCDHAND* request) {
    return ::GetCDHandle(request);
}

int32_t CdLibrary::GetCDId(HCDROM handle, char* buffer, int32_t bufferSize) {
    return ::GetCDId(handle, buffer, bufferSize);
}

int32_t CdLibrary::ModifyCDParms(HCDROM handle, int32_t parameter, uint32_t value) {
    return ::ModifyCDParms(handle, parameter, value);
}

int32_t CdLibrary::ReadTOC(HCDROM handle, TocRecord* toc) {
    return ::ReadTOC(handle, toc);
}

int32_t CdLibrary::ReadCDAudioLBA(HCDROM handle, TrackBuffer* buffer) {
    return ::ReadCDAudioLBA(handle, buffer);
}

int32_t CdLibrary::GetAspiLibError() {
    return ::GetAspiLibError();
}

int32_t CdLibrary::GetCDText(HCDROM handle, uint8_t track, int32_t field, char* buffer,
                             int32_t bufferSize) {
    return ::GetCDText(handle, track, field, buffer, bufferSize);
}

CdLibrary& linkedCdLibrary() {
    static CdLibrary library;
    return library;
}

} // namespace ripper
