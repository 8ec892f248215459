# Compiler and linker settings shared by the program, its tests and the helper tools.

# Wide APIs only, and the Windows 10 declarations.
function(quindle_code_options target)
    target_compile_definitions(${target} PRIVATE UNICODE _UNICODE NOMINMAX WIN32_LEAN_AND_MEAN
        _WIN32_WINNT=0x0A00 WINVER=0x0A00)
    if(MSVC)
        target_compile_options(${target} PRIVATE /W4 /utf-8 /permissive-)
    else()
        # No folder of this machine in the output: the same source gives the same bytes
        # wherever it is built. The last map given wins, so files of a build folder
        # inside the source lose the build folder's path.
        target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Werror
            -ffunction-sections -fdata-sections
            -ffile-prefix-map=${CMAKE_SOURCE_DIR}/=
            -ffile-prefix-map=${CMAKE_BINARY_DIR}/=)
    endif()
endfunction()

# A Windows executable that carries no runtime DLL of its own, with ASLR
# (high-entropy), NX, and system DLLs resolved from System32 only. Its bytes depend
# on the source alone: no link time stamp (GNU ld writes the header checksum of the
# final file by itself; /RELEASE asks the same of MSVC's linker).
function(quindle_program_options target)
    if(MSVC)
        target_compile_options(${target} PRIVATE /Brepro)
        # /MANIFEST:NO: the manifest is our own resource; the linker's would be a second.
        target_link_options(${target} PRIVATE /DYNAMICBASE /HIGHENTROPYVA /NXCOMPAT
            /DEPENDENTLOADFLAG:0x800 /RELEASE /Brepro /MANIFEST:NO)
    else()
        target_link_options(${target} PRIVATE -static -municode
            -Wl,--dynamicbase,--high-entropy-va,--nxcompat,--gc-sections,--no-insert-timestamp
            $<$<CONFIG:Release>:-s>)
    endif()
endfunction()
