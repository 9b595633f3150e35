// A Windows host for the Wine tests: loads the DLL with LoadLibraryW and runs the steps given on
// its command line in order, printing one line per step, so that a test sees what a host sees.
//   ombrivoice_win_host DLL STEP...
// Steps:
//   exports                      every exported name with its ordinal, then "exports checked"
//   resources                    the version record, string 101 and the type library
//   upload WAV KEY REPLY         "upload CODE"; \uXXXX in KEY is that UTF-16 code unit
//   download URL PATH            "download CODE"
//   start PATH                   "start CODE"
//   stop                         "stop COUNT"
//   sleep MS                     "slept MS"
//   await PATH BYTES             waits (up to 30 s) until the file holds BYTES; "awaited" or
//                                "await timed out"
//   unload                       FreeLibrary; "unload MS" with the time it took
//   exit                         ExitProcess(0) at once, whatever is running
#include <windows.h>

#include <oleauto.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

namespace {

typedef int32_t(__cdecl* StartCall)(const wchar_t*);
typedef int32_t(__cdecl* StopCall)(void);
typedef int32_t(__cdecl* UploadCall)(const wchar_t*, const wchar_t*, const wchar_t*);
typedef int32_t(__cdecl* DownloadCall)(const wchar_t*, const wchar_t*);

const wchar_t* const kVersionStrings[] = {L"CompanyName",     L"FileDescription", L"FileVersion",
                                          L"InternalName",    L"LegalTrademarks", L"OLESelfRegister",
                                          L"OriginalFilename", L"ProductName",    L"ProductVersion"};

// UTF-16 to UTF-8 for printing, so the test reads every line as UTF-8 whatever the console's
// code page.
std::string Utf8(const std::wstring& text) {
  if (text.empty()) return "";
  int needed = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                   nullptr, nullptr);
  std::string out(static_cast<size_t>(needed), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], needed, nullptr,
                      nullptr);
  return out;
}

void Say(const std::string& line) {
  fwrite(line.data(), 1, line.size(), stdout);
  fputc('\n', stdout);
  fflush(stdout);
}

// "\uD800" becomes the code unit 0xD800, so that a test can pass text no command line carries.
std::wstring Unescape(const std::wstring& text) {
  std::wstring out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == L'\\' && i + 5 < text.size() && text[i + 1] == L'u') {
      out.push_back(static_cast<wchar_t>(wcstoul(text.substr(i + 2, 4).c_str(), nullptr, 16)));
      i += 5;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

// The export directory of the loaded module, read from its own image.
void PrintExports(HMODULE module) {
  const BYTE* base = reinterpret_cast<const BYTE*>(module);
  const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const IMAGE_NT_HEADERS* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& entry = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  const IMAGE_EXPORT_DIRECTORY* exports =
      reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + entry.VirtualAddress);
  const DWORD* names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
  const WORD* ordinals = reinterpret_cast<const WORD*>(base + exports->AddressOfNameOrdinals);
  bool consistent = exports->NumberOfFunctions == exports->NumberOfNames;
  for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
    const char* name = reinterpret_cast<const char*>(base + names[i]);
    DWORD ordinal = exports->Base + ordinals[i];
    FARPROC byName = GetProcAddress(module, name);
    FARPROC byOrdinal = GetProcAddress(module, MAKEINTRESOURCEA(ordinal));
    consistent = consistent && byName != nullptr && byName == byOrdinal;
    Say(std::to_string(ordinal) + " " + name);
  }
  Say(consistent ? "exports checked" : "exports inconsistent");
}

void PrintVersionRecord(const std::wstring& dllPath) {
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeW(dllPath.c_str(), &ignored);
  std::string record(size, '\0');
  if (size == 0 || !GetFileVersionInfoW(dllPath.c_str(), 0, size, &record[0])) {
    Say("version none");
    return;
  }
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  VerQueryValueW(&record[0], L"\\", reinterpret_cast<void**>(&fixed), &length);
  char line[160];
  snprintf(line, sizeof line, "version %u.%u.%u.%u product %u.%u.%u.%u type %u",
           HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
           HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS),
           HIWORD(fixed->dwProductVersionMS), LOWORD(fixed->dwProductVersionMS),
           HIWORD(fixed->dwProductVersionLS), LOWORD(fixed->dwProductVersionLS),
           static_cast<unsigned>(fixed->dwFileType));
  Say(line);
  DWORD* translations = nullptr;
  VerQueryValueW(&record[0], L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translations), &length);
  for (UINT i = 0; i < length / sizeof(DWORD); ++i) {
    snprintf(line, sizeof line, "translation %04x %04x", LOWORD(translations[i]), HIWORD(translations[i]));
    Say(line);
  }
  for (const wchar_t* name : kVersionStrings) {
    std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    wchar_t* value = nullptr;
    if (VerQueryValueW(&record[0], query.c_str(), reinterpret_cast<void**>(&value), &length)) {
      Say(Utf8(name) + "=" + Utf8(std::wstring(value, length > 0 ? wcsnlen(value, length) : 0)));
    } else {
      Say(Utf8(name) + " absent");
    }
  }
}

void PrintTypeLibrary(const std::wstring& dllPath) {
  ITypeLib* library = nullptr;
  if (FAILED(LoadTypeLibEx(dllPath.c_str(), REGKIND_NONE, &library))) {
    Say("typelib none");
    return;
  }
  TLIBATTR* attributes = nullptr;
  library->GetLibAttr(&attributes);
  BSTR name = nullptr;
  library->GetDocumentation(-1, &name, nullptr, nullptr, nullptr);
  wchar_t guid[64];
  StringFromGUID2(attributes->guid, guid, 64);
  char line[200];
  snprintf(line, sizeof line, "typelib %s version %u.%u lcid %04x syskind %d types %u guid %s",
           Utf8(name).c_str(), attributes->wMajorVerNum, attributes->wMinorVerNum,
           static_cast<unsigned>(attributes->lcid),
           static_cast<int>(attributes->syskind), library->GetTypeInfoCount(), Utf8(guid).c_str());
  Say(line);
  SysFreeString(name);
  library->ReleaseTLibAttr(attributes);
  library->Release();
}

void PrintResources(HMODULE module, const std::wstring& dllPath) {
  PrintVersionRecord(dllPath);
  wchar_t text[128];
  int length = LoadStringW(module, 101, text, 128);
  Say("string 101=" + Utf8(std::wstring(text, length > 0 ? length : 0)));
  PrintTypeLibrary(dllPath);
}

// Waits until the file at path holds at least wanted bytes; false after 30 seconds.
bool AwaitFileSize(const std::wstring& path, ULONGLONG wanted) {
  for (int waited = 0; waited < 3000; ++waited) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) &&
        ((static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow) >= wanted) {
      return true;
    }
    Sleep(10);
  }
  return false;
}

// The export as the call type it has (through void*, since FARPROC names no signature).
template <typename Call>
Call Export(HMODULE module, const char* name) {
  FARPROC call = GetProcAddress(module, name);
  if (call == nullptr) {
    Say(std::string("missing export ") + name);
    ExitProcess(3);
  }
  return reinterpret_cast<Call>(reinterpret_cast<void*>(call));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    Say("usage: ombrivoice_win_host DLL STEP...");
    return 2;
  }
  std::wstring dllPath = argv[1];
  HMODULE module = LoadLibraryW(dllPath.c_str());
  if (module == nullptr) {
    Say("load failed " + std::to_string(GetLastError()));
    return 3;
  }
  for (int i = 2; i < argc; ++i) {
    std::wstring step = argv[i];
    auto next = [&]() -> std::wstring { return i + 1 < argc ? argv[++i] : L""; };
    if (step == L"exports") {
      PrintExports(module);
    } else if (step == L"resources") {
      PrintResources(module, dllPath);
    } else if (step == L"upload") {
      std::wstring wav = next(), key = Unescape(next()), reply = next();
      UploadCall upload = Export<UploadCall>(module, "OmbriVoice");
      Say("upload " + std::to_string(upload(wav.c_str(), key.c_str(), reply.c_str())));
    } else if (step == L"download") {
      std::wstring url = next(), path = next();
      DownloadCall download = Export<DownloadCall>(module, "OmbriVoiceFileDownload");
      Say("download " + std::to_string(download(url.c_str(), path.c_str())));
    } else if (step == L"start") {
      std::wstring path = next();
      StartCall start = Export<StartCall>(module, "OmbriVoiceRecorderStart");
      Say("start " + std::to_string(start(path.c_str())));
    } else if (step == L"stop") {
      StopCall stop = Export<StopCall>(module, "OmbriVoiceRecorderStop");
      Say("stop " + std::to_string(stop()));
    } else if (step == L"sleep") {
      DWORD milliseconds = wcstoul(next().c_str(), nullptr, 10);
      Sleep(milliseconds);
      Say("slept " + std::to_string(milliseconds));
    } else if (step == L"await") {
      std::wstring path = next();
      ULONGLONG wanted = wcstoull(next().c_str(), nullptr, 10);
      Say(AwaitFileSize(path, wanted) ? "awaited" : "await timed out");
    } else if (step == L"unload") {
      ULONGLONG before = GetTickCount64();
      BOOL freed = FreeLibrary(module);
      Say((freed ? "unload " : "unload failed ") + std::to_string(GetTickCount64() - before));
    } else if (step == L"exit") {
      ExitProcess(0);
    } else {
      Say("unknown step " + Utf8(step));
      return 2;
    }
  }
  return 0;
}
