# cmake -DSCRIPT=<OlvCheckLayers.cmake> -DWORK=<scratch folder> -P OlvCheckLayersTest.cmake
#
# Runs the layer check on small trees written into WORK and fails unless it passes the tree whose
# includes point down, and refuses each tree with an include that points up or across, naming
# the file, the line and both folders. A core folder checked for windows is refused each call of
# the UI port that opens a window, box or dialog, and the include of a window's handles.

foreach(required SCRIPT WORK)
    if(NOT DEFINED ${required})
        message(FATAL_ERROR "${required} is not set")
    endif()
endforeach()

set(layers "base|platform|rules,tracking|app|cli")
set(failures "")

# A tree of the layers above whose includes all point down or stay in their folder, with the
# forms the check must let pass: a relative include into a lower folder, an include of a folder's
# own subfolder, third-party and system headers, and includes in comments and strings.
function(write_tree root)
    file(REMOVE_RECURSE "${root}")
    file(WRITE "${root}/base/text.h" "#pragma once\n#include <cstddef>\n")
    file(WRITE "${root}/platform/memory.h" "#pragma once\n#include \"base/text.h\"\n")
    file(WRITE "${root}/platform/win32/memory.cpp"
         "#include \"platform/memory.h\"\n#include \"win32/detail.h\"\n")
    file(WRITE "${root}/platform/win32/win32/detail.h" "#pragma once\n")
    file(WRITE "${root}/rules/rules.h" "#pragma once\n#include \"platform/memory.h\"\n")
    file(WRITE "${root}/tracking/names.cpp"
         "// #include \"rules/rules.h\" would be a peer's header\n"
         "const char* kText = \"#include \\\"rules/rules.h\\\"\";\n"
         "#include <nlohmann/json.hpp>\n#include \"doctest/doctest.h\"\n")
    file(WRITE "${root}/app/commands.cpp"
         "#include \"app/commands.h\"\n#include \"rules/rules.h\"\n#include \"tracking/names.h\"\n")
    file(WRITE "${root}/app/win32/version.rc" "1 VERSIONINFO\n")
    file(WRITE "${root}/cli/win32/cli.rc" "#include \"../../app/win32/version.rc\"\n")
endfunction()

# check(<name> <folder> <expect 0 or 1> <texts the output must hold>...); the folder is checked
# for windows too while no_windows is set.
function(check name tree folder expect)
    set(stamp "${WORK}/${name}.checked")
    file(REMOVE "${stamp}")
    execute_process(COMMAND "${CMAKE_COMMAND}" "-DROOT=${tree}" "-DFOLDER=${folder}"
                            "-DLAYERS=${layers}" ${no_windows} "-DSTAMP=${stamp}" -P "${SCRIPT}"
                    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
    set(said "${out}${err}")
    if(expect EQUAL 0)
        if(NOT status EQUAL 0 OR NOT EXISTS "${stamp}")
            string(APPEND failures "${name}: refused a tree whose includes point down:\n${said}\n")
        endif()
    else()
        if(status EQUAL 0 OR EXISTS "${stamp}")
            string(APPEND failures "${name}: passed an include that points up or across\n")
        endif()
    endif()
    foreach(text IN LISTS ARGN)
        string(FIND "${said}" "${text}" at)
        if(at LESS 0)
            string(APPEND failures "${name}: the output does not say \"${text}\":\n${said}\n")
        endif()
    endforeach()
    set(failures "${failures}" PARENT_SCOPE)
endfunction()

set(tree "${WORK}/tree")
write_tree("${tree}")
foreach(folder base platform rules tracking app cli)
    check(down_${folder} "${tree}" ${folder} 0)
endforeach()

# Upwards: the lowest folder includes the platform's header on its third line.
file(APPEND "${tree}/base/text.h" "#  include \"platform/memory.h\"\n")
check(up "${tree}" base 1
      "${tree}/base/text.h:3: base may not include \"platform/memory.h\": platform is in a layer above base"
      "lowest first: base < platform < rules, tracking < app < cli")

# Across: a peer of the same layer, found among other includes and after a blank line.
write_tree("${tree}")
file(APPEND "${tree}/tracking/names.cpp" "\n#include \"rules/rules.h\"\n")
check(across "${tree}" tracking 1
      "${tree}/tracking/names.cpp:6: tracking may not include \"rules/rules.h\": rules is in the same layer as tracking")

# Upwards through a relative path, from a subfolder, in a resource script; every refusal of the
# folder is named, not only the first.
write_tree("${tree}")
file(WRITE "${tree}/app/win32/app.rc" "#include \"../../cli/win32/cli.rc\"\n")
file(APPEND "${tree}/app/commands.cpp" "#include \"cli/run.h\"\n")
check(relative "${tree}" app 1
      "${tree}/app/win32/app.rc:1: app may not include \"../../cli/win32/cli.rc\": cli is in a layer above app"
      "${tree}/app/commands.cpp:4: app may not include \"cli/run.h\": cli is in a layer above app")

# A folder the layers do not name is refused rather than passed unchecked.
check(unknown "${tree}" launcher 1 "the folder launcher is in no layer")

# Windows: a core folder calling the port's window calls, or naming them in comments, in longer
# names and as the front end does.
set(no_windows "-DNO_WINDOWS=ON")
write_tree("${tree}")
file(WRITE "${tree}/tracking/tables.cpp"
     "// UiMessageBox(owner, ...) is the front end's\n"
     "void MyUiMessageBox(int);\nvoid UiMessageBoxes();\n"
     "int n = UiListNextSelected(list, -1); // UiSetClipboardText(\n")
foreach(folder base platform rules tracking)
    check(windows_down_${folder} "${tree}" ${folder} 0)
endforeach()
file(APPEND "${tree}/tracking/tables.cpp"
     "bool yes = UiMessageBox(owner, q, t, 1, 2) == 6;\n"
     "    UiSetClipboardText (owner, text);\n"
     "  UiHandle w = UiOpenTextWindow(owner, module, title, 1, 2, font, text);\n")
check(windows_called "${tree}" tracking 1
      "${tree}/tracking/tables.cpp:5: tracking may not call UiMessageBox"
      "${tree}/tracking/tables.cpp:6: tracking may not call UiSetClipboardText"
      "${tree}/tracking/tables.cpp:7: tracking may not call UiOpenTextWindow")
write_tree("${tree}")
file(WRITE "${tree}/rules/port.h" "#pragma once\n#include \"record/view_port.h\"\n")
check(windows_handles "${tree}" rules 1
      "${tree}/rules/port.h:2: rules may not include a window's handles")
# The front end opens them: the same calls pass in a folder not checked for windows.
unset(no_windows)
file(WRITE "${tree}/app/boxes.cpp" "#include \"app/view_port.h\"\nint a = UiMessageBox(o, t, c, 1, 2);\n")
check(windows_front_end "${tree}" app 0)

if(failures)
    message(FATAL_ERROR "${failures}")
endif()
