// What the tool needs to know of the payload's own PE files: whether the main module is one the
// launcher can load and call, and which files are programs or libraries without a signature.
//
// Format reference: Microsoft "PE Format": "MS-DOS Stub", "Signature", "COFF File Header",
// "Optional Header Data Directories", "Section Table", "The .idata Section" (import directory
// table), "Delay-Load Import Tables", "The .edata Section" (export directory, name pointer table)
// and "The Attribute Certificate Table".
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace onefile_tool {

// What the tool reads of a PE image's bytes; all false and empty for bytes that are none.
struct PeFacts {
  bool is_pe = false;
  std::uint16_t machine = 0, characteristics = 0, subsystem = 0;
  bool exports_run_code = false;
  bool is_signed = false;            // it has a certificate table
  std::vector<std::string> imports;  // the DLLs of its import and delay-load import tables
};
PeFacts pe_facts(std::string image);

// Empty when the file is an x86-64 DLL that exports run_code; otherwise what is wrong, as a
// message naming the file ("'...' is a program, not a DLL").
std::string main_module_fault(const std::filesystem::path& file);

// Empty when the file is a program that Windows can start (a PE image that is no DLL, for x86-64
// or x86, of the graphical or console subsystem); otherwise what is wrong, naming --run's value.
std::string run_program_fault(const std::filesystem::path& file, const std::string& shown_name);

// The DLLs that a PE image names in its import table and its (RVA-based) delay-load import
// table, as written there; none for a file that is no PE image.
std::vector<std::string> imported_dll_names(const std::filesystem::path& file);

// True for a PE image (any machine) that carries no Authenticode signature.
bool is_unsigned_pe(const std::filesystem::path& file);

}  // namespace onefile_tool
