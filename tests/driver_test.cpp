// Ruv_dec.dll as a host loads it: its export and import tables, its dialog
// template, and DriverProc's answer to every message.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <set>

#include "codec_fixtures.h"

namespace ruv::codec_test {
namespace {

// A PE file read whole, with bounds-checked access by relative virtual address.
struct pe_image {
    bytes file;
    const IMAGE_NT_HEADERS* nt = nullptr;   // of this build's width
    const IMAGE_SECTION_HEADER* sections = nullptr;

    bool load(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        file.assign(std::istreambuf_iterator<char>(in), {});
        if (file.size() < sizeof(IMAGE_DOS_HEADER)) return false;
        const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(file.data());
        if (size_t(dos->e_lfanew) + sizeof(IMAGE_NT_HEADERS) > file.size()) return false;
        nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(file.data() + dos->e_lfanew);
        sections = IMAGE_FIRST_SECTION(nt);
        return nt->Signature == IMAGE_NT_SIGNATURE;
    }
    const uint8_t* at(DWORD rva, size_t size = 1) const {
        for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i) {
            const IMAGE_SECTION_HEADER& s = sections[i];
            if (rva >= s.VirtualAddress && rva - s.VirtualAddress + size <= s.SizeOfRawData) {
                const size_t offset = s.PointerToRawData + (rva - s.VirtualAddress);
                return offset + size <= file.size() ? file.data() + offset : nullptr;
            }
        }
        return nullptr;
    }
    std::string text(DWORD rva) const {
        std::string s;
        for (const uint8_t* p = at(rva); p && *p; p = at(++rva)) s += char(*p);
        return s;
    }
    const IMAGE_DATA_DIRECTORY& directory(int index) const { return nt->OptionalHeader.DataDirectory[index]; }
};

TEST(CodecDll, ExportsOnlyDriverProcAndImportsSystemDllsOnly) {
    pe_image pe;
    ASSERT_TRUE(pe.load(dll_path()));
#if defined(_WIN64)
    EXPECT_EQ(pe.nt->FileHeader.Machine, IMAGE_FILE_MACHINE_AMD64);
#else
    EXPECT_EQ(pe.nt->FileHeader.Machine, IMAGE_FILE_MACHINE_I386);
#endif
    EXPECT_TRUE(pe.nt->FileHeader.Characteristics & IMAGE_FILE_DLL);

    const auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(
        pe.at(pe.directory(IMAGE_DIRECTORY_ENTRY_EXPORT).VirtualAddress, sizeof(IMAGE_EXPORT_DIRECTORY)));
    ASSERT_NE(exports, nullptr);
    EXPECT_EQ(pe.text(exports->Name), "Ruv_dec.dll");
    EXPECT_EQ(exports->Base, 1u);
    EXPECT_EQ(exports->NumberOfFunctions, 1u);
    ASSERT_EQ(exports->NumberOfNames, 1u);
    const uint8_t* name = pe.at(exports->AddressOfNames, 4);
    const uint8_t* ordinal = pe.at(exports->AddressOfNameOrdinals, 2);
    ASSERT_TRUE(name && ordinal);
    EXPECT_EQ(pe.text(*reinterpret_cast<const DWORD*>(name)), "DriverProc");
    EXPECT_EQ(*reinterpret_cast<const WORD*>(ordinal) + exports->Base, 1u);

    const std::set<std::string> system = {"kernel32.dll", "user32.dll", "winmm.dll", "msvcrt.dll"};
    std::set<std::string> imported;
    DWORD rva = pe.directory(IMAGE_DIRECTORY_ENTRY_IMPORT).VirtualAddress;
    for (;; rva += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        const auto* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(pe.at(rva, sizeof(IMAGE_IMPORT_DESCRIPTOR)));
        ASSERT_NE(d, nullptr);
        if (d->Name == 0) break;
        std::string dll = pe.text(d->Name);
        std::transform(dll.begin(), dll.end(), dll.begin(), [](char c) { return char(std::tolower(c)); });
        imported.insert(dll);
    }
    EXPECT_TRUE(imported.count("winmm.dll"));   // DefDriverProc
    for (const std::string& dll : imported) EXPECT_TRUE(system.count(dll)) << dll << " is not a system DLL";
}

// Reads a classic dialog template, field by field.
struct template_reader {
    const uint8_t* p;
    const uint8_t* end;
    bool ok = true;
    template <typename T>
    T take() {
        T value{};
        if (p + sizeof(T) > end) {
            ok = false;
            return value;
        }
        std::memcpy(&value, p, sizeof(T));
        p += sizeof(T);
        return value;
    }
    // A string or an ordinal (0xFFFF then the number, given as "#n").
    std::wstring name() {
        std::wstring s;
        const WORD first = take<WORD>();
        if (first == 0xFFFF) return L"#" + std::to_wstring(take<WORD>());
        for (WORD c = first; c != 0 && ok; c = take<WORD>()) s += wchar_t(c);
        return s;
    }
    void align() {
        while (ok && (reinterpret_cast<uintptr_t>(p) & 3) != 0) ++p;
    }
};

TEST(CodecDll, DialogTemplate101InJapanese) {
    const HMODULE module = LoadLibraryExA(dll_path().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr);
    const WORD japanese = MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT);
    EXPECT_EQ(japanese, 1041);
    const HRSRC found = FindResourceExA(module, RT_DIALOG, MAKEINTRESOURCEA(101), japanese);
    ASSERT_NE(found, nullptr);
    const auto* data = static_cast<const uint8_t*>(LockResource(LoadResource(module, found)));
    template_reader r{data, data + SizeofResource(module, found)};

    EXPECT_EQ(r.take<DWORD>(), 0x90C808C0u);   // style; a DIALOGEX would start 0xFFFF0001
    EXPECT_EQ(r.take<DWORD>(), 0u);
    const WORD count = r.take<WORD>();
    EXPECT_EQ(count, 7);
    const short frame[4] = {r.take<short>(), r.take<short>(), r.take<short>(), r.take<short>()};
    EXPECT_EQ(std::vector<short>(frame, frame + 4), (std::vector<short>{0, 0, 227, 145}));
    EXPECT_EQ(r.name(), L"");   // no menu
    EXPECT_EQ(r.name(), L"");   // the standard dialog class
    EXPECT_EQ(r.name(), L"RUV デコーダー設定");
    EXPECT_EQ(r.take<WORD>(), 9);
    EXPECT_EQ(r.name(), L"ＭＳ ゴシック");

    struct control {
        WORD id;
        const wchar_t* cls;   // #128 button, #130 static
        const wchar_t* text;
        DWORD style;
        short x, y, cx, cy;
    };
    const control expected[7] = {
        {0xFFFF, L"#128", L"ビデオ出力フォーマット", 0x50020007, 5, 10, 215, 90},
        {1029, L"#128", L"OK", 0x50010000, 58, 120, 50, 15},
        {1030, L"#128", L"キャンセル", 0x50010000, 118, 120, 50, 15},
        {1031, L"#130", L"Ver1.00", 0x50020002, 175, 125, 45, 10},
        {1004, L"#128", L"RGB32", 0x50010003, 20, 25, 50, 10},
        {1005, L"#128", L"YUY2", 0x50010003, 20, 40, 50, 10},
        {0xFFFF, L"#130", L"※CPUがMMX,SSE,SSE2に対応している必要があります。", 0x50020000, 5, 105, 220, 10},
    };
    for (int i = 0; i < count && i < 7 && r.ok; ++i) {
        SCOPED_TRACE(testing::Message() << "control " << i);
        const control& c = expected[i];
        r.align();
        EXPECT_EQ(r.take<DWORD>(), c.style);
        EXPECT_EQ(r.take<DWORD>(), 0u);
        EXPECT_EQ(r.take<short>(), c.x);
        EXPECT_EQ(r.take<short>(), c.y);
        EXPECT_EQ(r.take<short>(), c.cx);
        EXPECT_EQ(r.take<short>(), c.cy);
        EXPECT_EQ(r.take<WORD>(), c.id);
        EXPECT_EQ(r.name(), c.cls);
        EXPECT_EQ(r.name(), c.text);
        EXPECT_EQ(r.take<WORD>(), 0);   // no creation data
    }
    EXPECT_TRUE(r.ok);
    FreeLibrary(module);
}

// Every row of the message table that needs no dialog.
TEST(DriverProc, MessageTable) {
    loaded_codec codec;
    ASSERT_NE(codec.proc, nullptr);
    const DWORD_PTR id = codec.open();
    ASSERT_NE(id, 0u);
    DWORD quality = 0;
    ICINFO info{};
    struct message_case {
        const char* what;
        DWORD_PTR id;
        UINT message;
        LPARAM a, b;
        LRESULT result;
    };
    const message_case cases[] = {
        {"DRV_LOAD", 0, DRV_LOAD, 0, 0, 1},
        {"DRV_ENABLE", 0, DRV_ENABLE, 0, 0, 1},
        {"DRV_DISABLE", 0, DRV_DISABLE, 0, 0, 1},
        {"DRV_FREE", 0, DRV_FREE, 0, 0, 1},
        {"DRV_QUERYCONFIGURE", 0, DRV_QUERYCONFIGURE, 0, 0, 1},
        {"DRV_INSTALL", 0, DRV_INSTALL, 0, 0, 1},
        {"DRV_REMOVE", 0, DRV_REMOVE, 0, 0, 1},
        {"DRV_CLOSE without an instance", 0, DRV_CLOSE, 0, 0, 1},
        {"GET_PALETTE", id, ICM_DECOMPRESS_GET_PALETTE, 0, 0, ICERR_BADFORMAT},
        {"SET_PALETTE", id, ICM_DECOMPRESS_SET_PALETTE, 0, 0, ICERR_UNSUPPORTED},
        {"COMPRESS_QUERY", id, ICM_COMPRESS_QUERY, 0, 0, ICERR_UNSUPPORTED},
        {"COMPRESS_BEGIN", id, ICM_COMPRESS_BEGIN, 0, 0, ICERR_UNSUPPORTED},
        {"DECOMPRESSEX_QUERY", id, ICM_DECOMPRESSEX_QUERY, 0, 0, ICERR_UNSUPPORTED},
        {"GETQUALITY", id, ICM_GETQUALITY, 0, 0, ICERR_UNSUPPORTED},
        {"0x4000", id, 0x4000, 0, 0, ICERR_UNSUPPORTED},
        {"0xFFFFFFFF", id, 0xFFFFFFFF, 0, 0, ICERR_UNSUPPORTED},
        {"GETSTATE", id, ICM_GETSTATE, 0, 0, 0},
        {"SETSTATE", id, ICM_SETSTATE, 0, 0, 0},
        {"GETINFO size", 0, ICM_GETINFO, 0, 0, 568},
        {"GETINFO without an instance", 0, ICM_GETINFO, reinterpret_cast<LPARAM>(&info), sizeof info, 568},
        {"GETINFO too small", id, ICM_GETINFO, reinterpret_cast<LPARAM>(&info), 567, 0},
        {"GETDEFAULTQUALITY", id, ICM_GETDEFAULTQUALITY, reinterpret_cast<LPARAM>(&quality), 0, ICERR_OK},
        {"GETDEFAULTQUALITY null", id, ICM_GETDEFAULTQUALITY, 0, 0, ICERR_UNSUPPORTED},
        {"CONFIGURE query", id, ICM_CONFIGURE, -1, 0, ICERR_OK},
        {"ABOUT query", id, ICM_ABOUT, -1, 0, ICERR_OK},
        {"ABOUT query without an instance", 0, ICM_ABOUT, -1, 0, ICERR_OK},
        {"GET_FORMAT size", id, ICM_DECOMPRESS_GET_FORMAT, 0, 0, 40},
        {"QUERY of nothing", id, ICM_DECOMPRESS_QUERY, 0, 0, ICERR_BADFORMAT},
        {"END", id, ICM_DECOMPRESS_END, 0, 0, ICERR_OK},
        // Messages that need an instance, without one.
        {"QUERY without an instance", 0, ICM_DECOMPRESS_QUERY, 0, 0, ICERR_BADPARAM},
        {"GET_FORMAT without an instance", 0, ICM_DECOMPRESS_GET_FORMAT, 0, 0, ICERR_BADPARAM},
        {"BEGIN without an instance", 0, ICM_DECOMPRESS_BEGIN, 0, 0, ICERR_BADPARAM},
        {"DECOMPRESS without an instance", 0, ICM_DECOMPRESS, 0, 0, ICERR_BADPARAM},
        {"END without an instance", 0, ICM_DECOMPRESS_END, 0, 0, ICERR_BADPARAM},
    };
    for (const message_case& c : cases) EXPECT_EQ(codec.send(c.id, c.message, c.a, c.b), c.result) << c.what;
    EXPECT_EQ(quality, 7500u);
    EXPECT_EQ(std::wstring(info.szDescription), L"RUV Decoder Ver1.01");

    // Below 0x4000, unanswered messages go to DefDriverProc as they came.
    for (UINT message : {0u, UINT(DRV_EXITSESSION), UINT(DRV_POWER), 0x3FFFu}) {
        EXPECT_EQ(codec.send(id, message, 5, 6), DefDriverProc(id, nullptr, message, 5, 6)) << message;
    }
    EXPECT_EQ(codec.send(id, DRV_CLOSE), 1);
}

#if defined(__i386__)
// Calls proc(args[0..4]) with the stack pointer `skew` bytes past a 16-byte
// boundary at the call, as a host that keeps only the 4-byte alignment that
// 32-bit Windows promises.
extern "C" LRESULT call_with_skew(driver_proc_fn proc, const LPARAM* args, DWORD skew);
asm(R"(
    .text
    .globl _call_with_skew
_call_with_skew:
    pushl %ebp
    movl %esp, %ebp
    pushl %esi
    movl 12(%ebp), %esi
    movl 16(%ebp), %ecx
    andl $-16, %esp
    subl $12, %esp
    subl %ecx, %esp
    pushl 16(%esi)
    pushl 12(%esi)
    pushl 8(%esi)
    pushl 4(%esi)
    pushl (%esi)
    call *8(%ebp)
    leal -4(%ebp), %esp
    popl %esi
    popl %ebp
    ret
)");

TEST(DriverProc, DecodesForCallersWithAMisalignedStack) {
    set_profile("ON", "ON");
    loaded_codec codec;
    const test_stream s = test_stream::make(64, 32, 3, 8, 7);
    for (DWORD skew : {4u, 8u, 12u}) {
        for (uint32_t compression : {compression_rgb32, compression_yuy2}) {
            const auto send = [&](DWORD_PTR id, UINT message, LPARAM a, LPARAM b) {
                const LPARAM args[5] = {LPARAM(id), 0, LPARAM(message), a, b};
                return call_with_skew(codec.proc, args, skew);
            };
            const DWORD_PTR id = codec.open();
            stream_header in = stream_header::of(s.format());
            BITMAPINFOHEADER out = output_for(64, 32, compression);
            ASSERT_EQ(send(id, ICM_DECOMPRESS_QUERY, LPARAM(in.bih()), LPARAM(&out)), ICERR_OK);
            ASSERT_EQ(send(id, ICM_DECOMPRESS_BEGIN, LPARAM(in.bih()), LPARAM(&out)), ICERR_OK);
            std::vector<bytes> pictures;
            bytes buffer(size_t(64 * 32 * (compression ? 2 : 4)));
            for (const encoded_frame& f : s.frames) {
                in.bih()->biSizeImage = DWORD(f.bytes.size());
                ICDECOMPRESS icd{};
                icd.dwFlags = f.key ? 0 : ICDECOMPRESS_NOTKEYFRAME;
                icd.lpbiInput = in.bih();
                icd.lpInput = const_cast<uint8_t*>(f.bytes.data());
                icd.lpbiOutput = &out;
                icd.lpOutput = buffer.data();
                ASSERT_EQ(send(id, ICM_DECOMPRESS, LPARAM(&icd), sizeof icd), ICERR_OK);
                pictures.push_back(buffer);
            }
            EXPECT_EQ(pictures, reference_pictures(s, compression)) << "skew " << skew;
            EXPECT_EQ(send(id, DRV_CLOSE, 0, 0), 1);
        }
    }
}
#endif

TEST(DriverProc, OpenRefusals) {
    loaded_codec codec;
    ICOPEN audio{};
    audio.dwSize = sizeof audio;
    audio.fccType = mmioFOURCC('a', 'u', 'd', 'c');
    audio.dwError = 99;
    EXPECT_EQ(codec.send(0, DRV_OPEN, 0, reinterpret_cast<LPARAM>(&audio)), 0);
    EXPECT_EQ(audio.dwError, 99u);
    const LRESULT plain = codec.send(0, DRV_OPEN, 0, 0);   // a driver opened without an ICOPEN record
    ASSERT_NE(plain, 0);
    EXPECT_EQ(codec.send(DWORD_PTR(plain), DRV_CLOSE), 1);
}

}  // namespace
}  // namespace ruv::codec_test
