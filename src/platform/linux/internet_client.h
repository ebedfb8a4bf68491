// Internet-client layer for Linux, built on libcurl: the subset of the
// platform's WinINet API that the engine calls, under the same names and with
// the same arguments and results.
#pragma once

#include "win_types.h"

using HINTERNET = void*;
using INTERNET_STATUS_CALLBACK = void(CALLBACK*)(HINTERNET handle, DWORD_PTR context, DWORD status,
                                                 LPVOID info, DWORD infoLength);

struct INTERNET_ASYNC_RESULT {
  DWORD_PTR dwResult;
  DWORD dwError;
};

inline constexpr DWORD INTERNET_OPEN_TYPE_PRECONFIG = 0;  // proxy from the environment
inline constexpr DWORD INTERNET_OPEN_TYPE_DIRECT = 1;
inline constexpr DWORD INTERNET_OPEN_TYPE_PROXY = 3;
inline constexpr DWORD INTERNET_FLAG_ASYNC = 0x10000000;
inline constexpr DWORD INTERNET_FLAG_NO_CACHE_WRITE = 0x04000000;

inline constexpr DWORD INTERNET_STATUS_HANDLE_CREATED = 60;
inline constexpr DWORD INTERNET_STATUS_REQUEST_COMPLETE = 100;
#define INTERNET_INVALID_STATUS_CALLBACK (reinterpret_cast<INTERNET_STATUS_CALLBACK>(-1L))

inline constexpr DWORD HTTP_QUERY_CONTENT_TYPE = 1;
inline constexpr DWORD HTTP_QUERY_CONTENT_LENGTH = 5;
inline constexpr DWORD HTTP_QUERY_STATUS_TEXT = 20;
inline constexpr DWORD HTTP_QUERY_CONTENT_ENCODING = 29;
inline constexpr DWORD HTTP_QUERY_STATUS_CODE = 19;
inline constexpr DWORD HTTP_QUERY_ACCEPT_RANGES = 42;
inline constexpr DWORD HTTP_QUERY_CONTENT_RANGE = 53;
inline constexpr DWORD HTTP_QUERY_LAST_MODIFIED = 11;
inline constexpr DWORD HTTP_QUERY_RETRY_AFTER = 36;
inline constexpr DWORD HTTP_QUERY_ETAG = 54;
inline constexpr DWORD HTTP_QUERY_DATE = 9;
inline constexpr DWORD HTTP_QUERY_LOCATION = 33;
inline constexpr DWORD HTTP_QUERY_TRANSFER_ENCODING = 63;
inline constexpr DWORD HTTP_QUERY_FLAG_NUMBER = 0x20000000;

// Session options for InternetSetOptionW, in milliseconds as a DWORD;
// 0 or 0xFFFFFFFF means no limit. Requests opened afterwards use them. The receive
// time-out bounds how long an open or a read may see nothing arrive.
inline constexpr DWORD INTERNET_OPTION_CONNECT_TIMEOUT = 2;
inline constexpr DWORD INTERNET_OPTION_RECEIVE_TIMEOUT = 6;
// A BOOL: requests opened afterwards undo a gzip or deflate Content-Encoding
// (any other the client knows too), so that a read gets the decoded body; the
// headers stay as the server sent them. Off by default: a read then gets the
// body's bytes as sent.
inline constexpr DWORD INTERNET_OPTION_HTTP_DECODING = 65;

inline constexpr DWORD ERROR_IO_PENDING = 997;
inline constexpr DWORD ERROR_INTERNET_TIMEOUT = 12002;
inline constexpr DWORD ERROR_INTERNET_INTERNAL_ERROR = 12004;
inline constexpr DWORD ERROR_INTERNET_INVALID_URL = 12005;
inline constexpr DWORD ERROR_INTERNET_INVALID_OPTION = 12009;
inline constexpr DWORD ERROR_INTERNET_UNRECOGNIZED_SCHEME = 12006;
inline constexpr DWORD ERROR_INTERNET_NAME_NOT_RESOLVED = 12007;
inline constexpr DWORD ERROR_INTERNET_OPERATION_CANCELLED = 12017;
inline constexpr DWORD ERROR_INTERNET_INCORRECT_HANDLE_TYPE = 12018;
inline constexpr DWORD ERROR_INTERNET_INCORRECT_HANDLE_STATE = 12019;
inline constexpr DWORD ERROR_INTERNET_CANNOT_CONNECT = 12029;
inline constexpr DWORD ERROR_INTERNET_CONNECTION_ABORTED = 12030;
inline constexpr DWORD ERROR_INTERNET_CONNECTION_RESET = 12031;
inline constexpr DWORD ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR = 12040;
inline constexpr DWORD ERROR_INTERNET_SEC_CERT_ERRORS = 12055;
inline constexpr DWORD ERROR_HTTP_HEADER_NOT_FOUND = 12150;
inline constexpr DWORD ERROR_HTTP_INVALID_SERVER_RESPONSE = 12152;
inline constexpr DWORD ERROR_HTTP_INVALID_HEADER = 12153;
inline constexpr DWORD ERROR_HTTP_REDIRECT_FAILED = 12156;
inline constexpr DWORD ERROR_INTERNET_SECURITY_CHANNEL_ERROR = 12157;

HINTERNET WINAPI InternetOpenW(LPCWSTR agent, DWORD accessType, LPCWSTR proxy, LPCWSTR proxyBypass,
                               DWORD flags);
INTERNET_STATUS_CALLBACK WINAPI InternetSetStatusCallback(HINTERNET session,
                                                          INTERNET_STATUS_CALLBACK callback);
HINTERNET WINAPI InternetOpenUrlW(HINTERNET session, LPCWSTR url, LPCWSTR headers,
                                  DWORD headersLength, DWORD flags, DWORD_PTR context);
BOOL WINAPI HttpQueryInfoW(HINTERNET request, DWORD infoLevel, LPVOID buffer, LPDWORD bufferLength,
                           LPDWORD index);
BOOL WINAPI InternetReadFile(HINTERNET request, LPVOID buffer, DWORD bytesToRead,
                             LPDWORD bytesRead);
BOOL WINAPI InternetCloseHandle(HINTERNET handle);
BOOL WINAPI InternetSetOptionW(HINTERNET handle, DWORD option, LPVOID buffer, DWORD bufferLength);
