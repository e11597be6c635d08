#pragma once
// Structured storage as the plug-in uses it: every call opens the container, does its work and
// closes it again, so no file stays open between calls. Writes go to a copy beside the file that
// replaces it only after it was read back correctly, so a failure leaves the file as it was.
#include "CfbCommon.h"
#include <map>
#include <objidl.h>

namespace cfb {

struct Element {
    std::wstring name;
    bool stream = false;
    ULONGLONG size = 0;
    FILETIME modified{};
    CLSID clsid{};
};

// The container read-only (others may read it meanwhile, nobody may write).
ffm::ComPtr<IStorage> OpenContainer(const std::wstring& path);
// The storage at the path below root (root itself for an empty path).
ffm::ComPtr<IStorage> OpenStorages(IStorage* root, const std::vector<std::wstring>& path, bool write = false);
// The elements of a storage in the order the file lists them.
std::vector<Element> ListElements(IStorage* storage);
// Facts about one element; its kind is found out here. Raises STG_E_FILENOTFOUND.
Element Describe(const Location& where);

// The container file's size and last-write time: what a listing saw stays true while they do.
struct ContainerStamp {
    ULONGLONG size = 0;
    FILETIME written{};
    bool operator==(const ContainerStamp& other) const {
        return size == other.size && CompareFileTime(&written, &other.written) == 0;
    }
};
// Raises the file system's failure.
ContainerStamp StampOf(const std::wstring& container);
// A stream's bytes; raises STG_E_FILENOTFOUND for a missing stream and STG_E_MEDIUMFULL above limit.
std::vector<unsigned char> ReadStream(IStorage* parent, const std::wstring& name, ULONGLONG limit);
// Copies a stream to an open file handle in pieces.
void CopyStreamTo(IStorage* parent, const std::wstring& name, HANDLE target);

// Replaces (or creates) streams of the storage at storages and puts the result in place of the
// container at once; on any failure the container is untouched.
void WriteStreamsSafely(const std::wstring& container, const std::vector<std::wstring>& storages,
                        const std::map<std::wstring, std::vector<unsigned char>>& streams);

} // namespace cfb
