#pragma once

// The ripper's one way to the CD audio library. Each member calls the entry point
// of libakrip32.so of the same name; tests derive from it to make chosen calls fail
// (a block read, a table of contents) while every other call reaches the real
// library.

#include <cstdint>

#include "akrip32.h"

namespace ripper {

class CdLibrary {
public:
    virtual ~CdLibrary() = default;

    virtual int32_t GetCDList(DriveList* list);
    virtual HCDROM GetCDHandle(GETCDHAND* request);
    virtual int32_t GetCDId(HCDROM handle, char* buffer, int32_t bufferSize);
    virtual int32_t ModifyCDParms(HCDROM handle, int32_t parameter, uint32_t value);
    virtual int32_t ReadTOC(HCDROM handle, TocRecord* toc);
    virtual int32_t ReadCDAudioLBA(HCDROM handle, TrackBuffer* buffer);
    virtual int32_t GetAspiLibError();
    virtual int32_t GetCDText(HCDROM handle, uint8_t track, int32_t field, char* buffer,
                              int32_t bufferSize);
};

// The library linked into the program.
CdLibrary& linkedCdLibrary();

} // namespace ripper
