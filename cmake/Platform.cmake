# Compiler settings shared by every target: Unicode Win32, static runtimes so that
# the binaries need nothing beside the system DLLs.
add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601 WINVER=0x0601)

if(MINGW)
  add_compile_options(-Wall -Wextra -Wno-unused-parameter -Wno-missing-field-initializers
                      -Wno-cast-function-type)
  add_link_options(-static -static-libgcc -static-libstdc++)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    # The classic 32-bit exports carry undecorated names even for stdcall functions.
    set(KV_DLL_LINK_OPTIONS -Wl,--enable-stdcall-fixup -Wl,--kill-at)
  endif()
elseif(MSVC)
  add_compile_options(/W4 /permissive- /utf-8)
  add_compile_definitions(_CRT_SECURE_NO_WARNINGS)
endif()

# kv_static_library(name sources...) - one subsystem = one static library.
function(kv_static_library name)
  add_library(${name} STATIC ${ARGN})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
endfunction()
