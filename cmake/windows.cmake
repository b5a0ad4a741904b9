# The libraries of the Windows build: spdlog and fmt header-only from Debian's
# headers, libgcrypt from libgcrypt-mingw-w64-dev, Boost.Regex header-only, and
# GoogleTest built from Debian's sources. The cross compiler sees only the
# header trees it needs, through links in the build tree: /usr/include itself
# holds glibc's headers, which must never reach it.
set(_zp_hdr ${CMAKE_BINARY_DIR}/host-headers)
file(MAKE_DIRECTORY ${_zp_hdr})
foreach(tree spdlog fmt boost)
  if(NOT EXISTS /usr/include/${tree})
    message(FATAL_ERROR "/usr/include/${tree} is missing: run scripts/setup.sh")
  endif()
  file(CREATE_LINK /usr/include/${tree} ${_zp_hdr}/${tree} SYMBOLIC)
endforeach()

add_library(zp_fmt INTERFACE)
target_include_directories(zp_fmt SYSTEM INTERFACE ${_zp_hdr})
target_compile_definitions(zp_fmt INTERFACE FMT_HEADER_ONLY)
add_library(fmt::fmt ALIAS zp_fmt)
add_library(zp_spdlog INTERFACE)
target_link_libraries(zp_spdlog INTERFACE zp_fmt)
add_library(spdlog::spdlog ALIAS zp_spdlog)
add_library(zp_boost_headers INTERFACE)
target_include_directories(zp_boost_headers SYSTEM INTERFACE ${_zp_hdr})

find_library(ZP_GCRYPT_LIB NAMES libgcrypt.a gcrypt REQUIRED)
find_library(ZP_GPG_ERROR_LIB NAMES libgpg-error.a gpg-error REQUIRED)
add_library(zp_gcrypt INTERFACE)
target_link_libraries(zp_gcrypt INTERFACE ${ZP_GCRYPT_LIB} ${ZP_GPG_ERROR_LIB} ws2_32)
add_library(PkgConfig::GCRYPT ALIAS zp_gcrypt)

# The C99 printf family (%zu, %lld) in the mingw runtime.
add_compile_definitions(__USE_MINGW_ANSI_STDIO=1 WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)

# One self-contained executable per program: no mingw runtime DLLs to ship.
add_link_options(-static)
