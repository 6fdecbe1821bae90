// Conversions between the COM values the service exchanges and the JSON text
// the scenario control speaks.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace ZelvarStandin {

using Json = nlohmann::json;

std::string ToUtf8(const wchar_t* text, size_t length);
std::string ToUtf8(const std::wstring& text);
std::wstring ToWide(const std::string& utf8);

// A BSTR as JSON: null for a null BSTR, else its full text (embedded NULs kept).
Json BstrToJson(BSTR value);
// A JSON string (or null) as a new BSTR; null and non-strings give a null BSTR.
BSTR JsonToBstr(const Json& value);

// An HRESULT given as a number or as text ("0x80004005", "E_FAIL", "S_OK").
// Anything else gives the fallback.
HRESULT JsonToHresult(const Json& value, HRESULT fallback);
std::string HresultText(HRESULT hr);

// Unsigned and signed numbers that tolerate absent or badly typed values.
UINT JsonToUint(const Json& value, UINT fallback);
LONGLONG JsonToInt64(const Json& value, LONGLONG fallback);
// A member flag of an object: true/false or a number; the fallback when absent,
// badly typed, or when `object` is not an object.
bool JsonFlag(const Json& object, const char* name, bool fallback);
// A member of an object, or null when absent or when `object` is not one.
Json JsonMember(const Json& object, const char* name);

// A one-dimensional array as JSON: null for a null array; an array of strings
// for VT_BSTR ({"lowerBound": b, "strings": [...]} when its indices start at
// b, not 0); {"vt": n, "count": c} for any other element type.
Json BstrArrayToJson(SAFEARRAY* array);

// Builds an array from its JSON form (see README "Arrays"). A JSON array of
// strings gives VT_BSTR; null gives a null array; {"vt": n, "count": c} gives
// an array of that element type with c zeroed elements; {"lowerBound": b,
// "strings": [...]} gives a VT_BSTR array whose indices start at b.
HRESULT JsonToBstrArray(const Json& value, SAFEARRAY** out);

// Byte blocks: {"text": "..."} (UTF-8), {"hex": "0a0b"}, {"size": n} (byte i is
// i % 251), {"size": n, "fill": b}. Returns false for anything else.
bool JsonToBytes(const Json& value, std::vector<BYTE>& bytes);
// A byte array as JSON: null, or {"size": n, "hex": "..."}; wrongly typed
// arrays come back as {"vt": n, "count": c}.
Json ByteArrayToJson(SAFEARRAY* array);
HRESULT BytesToArray(const std::vector<BYTE>& bytes, SAFEARRAY** out);
std::string HexOf(const BYTE* data, size_t size);

}  // namespace ZelvarStandin
