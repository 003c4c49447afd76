# lbw_check_lean_link(<target> <map>): has the linker of the target write its
# map to <map>, and fails that link, removing the program, where the map shows
# that it took code a shipped program must never carry: libstdc++, the
# exception unwinder, the threads library, mingw-w64's own printf
# (release/link/lean_link.py). The message names the member, the file whose
# reference took it and the symbol.
function(lbw_check_lean_link target map)
  lbw_release_sources(rules link)
  target_link_options(${target} PRIVATE "LINKER:-Map=${map}")
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${rules})
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${LBW_RELEASE_PYTHON} release.link.lean_link ${map} $<TARGET_FILE:${target}>
    VERBATIM)
endfunction()
