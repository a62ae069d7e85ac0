# Writes the program's build description (OUTPUT): the project version, what `git describe` says about the
# source tree, and the target system. Run at every build; the file is rewritten only when its text changes,
# so an unchanged tree recompiles nothing.
execute_process(
    COMMAND git describe --tags --always --dirty
    WORKING_DIRECTORY "${SOURCE_DIR}"
    OUTPUT_VARIABLE revision
    OUTPUT_STRIP_TRAILING_WHITESPACE
    ERROR_QUIET
    RESULT_VARIABLE git_status)
if(NOT git_status EQUAL 0 OR revision STREQUAL "")
    set(revision "unknown")
endif()
set(text "// Generated at build time by cmake/build_info.cmake.\n#include \"build_info.h\"\n\nnamespace telva {\n\nconst char* ProductVersion() { return \"${VERSION}\"; }\nconst char* SourceRevision() { return \"${revision}\"; }\nconst char* BuildSystem() { return \"${SYSTEM} ${PROCESSOR}\"; }\n\n} // namespace telva\n")
set(current "")
if(EXISTS "${OUTPUT}")
    file(READ "${OUTPUT}" current)
endif()
if(NOT current STREQUAL text)
    file(WRITE "${OUTPUT}" "${text}")
endif()
