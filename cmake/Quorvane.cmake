# Settings every target of ours shares. Third-party code is left alone.

set(QUORVANE_SANITIZE "" CACHE STRING "Sanitizers for every target: empty, address, thread, fuzzer")

# Every include names its folder from the project root ("engine/xmodem.h", "cli/options.h"): one
# path for every target, so no header can stand in for another of the same name.
function(quorvane_target target)
    target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
    if(QUORVANE_SANITIZE STREQUAL "address")
        target_compile_options(${target} PRIVATE -fsanitize=address,undefined -fno-omit-frame-pointer
                                                 -fno-sanitize-recover=undefined)
        target_link_options(${target} PRIVATE -fsanitize=address,undefined)
    elseif(QUORVANE_SANITIZE STREQUAL "thread")
        target_compile_options(${target} PRIVATE -fsanitize=thread -fno-omit-frame-pointer)
        target_link_options(${target} PRIVATE -fsanitize=thread)
    elseif(QUORVANE_SANITIZE STREQUAL "fuzzer")
        target_compile_options(${target} PRIVATE -fsanitize=fuzzer-no-link,address,undefined
                                                 -fno-omit-frame-pointer)
        target_link_options(${target} PRIVATE -fsanitize=address,undefined)
    endif()
endfunction()
