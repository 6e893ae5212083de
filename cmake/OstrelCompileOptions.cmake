# One interface target that carries the project's own compile rules; every target of ours links it,
# so the rules never leak into third-party code.
add_library(ostrel_compile_options INTERFACE)

target_compile_options(ostrel_compile_options INTERFACE -Wall -Wextra -Werror)
target_compile_definitions(ostrel_compile_options INTERFACE
    # The code must keep building against Qt 5.12: warn about APIs deprecated up to 5.12 (and hide them),
    # but not about those deprecated later, whose replacements 5.12 does not have.
    QT_DISABLE_DEPRECATED_BEFORE=0x050C00
    QT_NO_CAST_FROM_BYTEARRAY)

if(OSTREL_SANITIZE)
    target_compile_options(ostrel_compile_options INTERFACE
        -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    target_link_options(ostrel_compile_options INTERFACE -fsanitize=address,undefined)
endif()
