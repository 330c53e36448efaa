// Helpers of the card's state document: how byte arrays and files are written
// into an archive and read back. Every card class's serialize() walks its fields
// in document order; the archive's isStoring() says which way the values go.
#pragma once

#include <cstdint>
#include <string>

#include "jc/ArchiveElement.h"
#include "jc/IArchive.h"
#include "jc/JCArray.h"

namespace quillon {

class CRTKeyFile;
class File;

// Field names lose a trailing underscore in the document (names under 128 chars).
std::string stripTrailingUnderscore(const char* name);

// The element of one file of a DF, its kind in attribute type. Loading destroys
// what the slot held and puts the file read there (none for a NullFile);
// SerializationException for an unknown type.
void ioFile(IArchive& archive, File*& file);

// The RSA size a key file's FCP announces (algorithm reference of its B8
// template), 2048 when it announces none.
std::uint16_t keySizeFromCRT(CRTKeyFile& file);

// Reads or writes a field under its own name, trailing underscore dropped.
#define QUILLON_IO(archive, field) (archive).io(::quillon::stripTrailingUnderscore(#field).c_str(), field)

}  // namespace quillon
