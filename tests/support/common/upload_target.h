// The target of the library's upload request as it reaches a proxy: absolute form, the API
// host and the recognition path.
#ifndef OMBRIVOICE_TESTS_COMMON_UPLOAD_TARGET_H
#define OMBRIVOICE_TESTS_COMMON_UPLOAD_TARGET_H

constexpr const char* kUploadTarget = "http://api.ombrivoice.example/1/api/async/recognizespeech/v1";

#endif
