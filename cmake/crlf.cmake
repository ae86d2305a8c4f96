# cmake -DIN=FILE -DOUT=FILE -P crlf.cmake: copies IN to OUT with CR LF line
# ends, as Windows' own text files have them (Notepad before Windows 10
# shows a file with LF alone as one long line).
file(READ "${IN}" text)
string(REPLACE "\r\n" "\n" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE "${OUT}" "${text}")
