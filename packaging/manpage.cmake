# Writes quorvane-cli(1) from the program's own --help and --version, so the page lists exactly
# the switches the program accepts. Run as
#   cmake -DHELP2MAN=... -DPROGRAM=... -DINCLUDE=... -DOUTPUT=... -P manpage.cmake
#
# help2man files everything the help text prints under DESCRIPTION. The help text opens with a
# one-line summary, lists the switches and closes with an "Exit status:" paragraph; this script
# gives the switches and the exit status sections of their own and puts the summary first.

cmake_minimum_required(VERSION 3.22)

foreach(variable HELP2MAN PROGRAM INCLUDE OUTPUT)
    if(NOT DEFINED ${variable})
        message(FATAL_ERROR "manpage.cmake: ${variable} is not set")
    endif()
endforeach()

execute_process(
    COMMAND "${HELP2MAN}" --no-info --include "${INCLUDE}" "${PROGRAM}"
    OUTPUT_VARIABLE page
    ERROR_VARIABLE problem
    RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "help2man failed on ${PROGRAM}: ${problem}")
endif()

set(heading "\n.SH DESCRIPTION\n")
string(FIND "${page}" "${heading}" start)
if(start EQUAL -1)
    message(FATAL_ERROR "help2man wrote no DESCRIPTION section")
endif()
string(LENGTH "${heading}" length)
math(EXPR bodyStart "${start} + ${length}")
string(SUBSTRING "${page}" 0 ${bodyStart} head)
string(SUBSTRING "${page}" ${bodyStart} -1 rest)

# The description runs to the first switch (a tagged paragraph whose tag starts with a bold
# dash: the included mode list has tags too), or to the next section when the help text has
# headings of its own.
string(FIND "${rest}" "\n.TP\n\\fB\\-" firstOption)
string(FIND "${rest}" "\n.SH " nextSection)
if(firstOption EQUAL -1 OR (NOT nextSection EQUAL -1 AND nextSection LESS firstOption))
    set(end ${nextSection})
    set(optionsHeading "")
else()
    set(end ${firstOption})
    set(optionsHeading "\n.SH OPTIONS")
endif()
if(end EQUAL -1)
    message(FATAL_ERROR "help2man wrote a DESCRIPTION section with no end")
endif()
string(SUBSTRING "${rest}" 0 ${end} description)
string(SUBSTRING "${rest}" ${end} -1 rest)

# The included paragraphs come before the help text's summary, which belongs on top.
string(FIND "${description}" "\n.PP\n" lastBreak REVERSE)
if(NOT lastBreak EQUAL -1)
    math(EXPR summaryStart "${lastBreak} + 5")
    string(SUBSTRING "${description}" ${summaryStart} -1 summary)
    string(SUBSTRING "${description}" 0 ${lastBreak} included)
    set(description "${summary}\n.PP\n${included}")
endif()

string(REPLACE "\n.PP\nExit status: " "\n.SH \"EXIT STATUS\"\n" rest "${rest}")

file(WRITE "${OUTPUT}" "${head}${description}${optionsHeading}${rest}")
