// Feeds a saved snapshot stream to a SnapshotReader, until its end or until
// the reader wants no more. A zstd-compressed file (told by its first bytes)
// is decoded as it is fed.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "protocol/SnapshotReader.h"

namespace vesk {

// Throws ClientError (File) when the file cannot be read or its zstd data is
// damaged or cut; whether the stream was whole is reader.Finish()'s to say.
// onProgress, when given, is called after each piece with the file's bytes
// read so far and its size.
void FeedFile(const std::string& path, SnapshotReader& reader,
              const std::function<void(uint64_t done, uint64_t total)>& onProgress = nullptr);

}  // namespace vesk
