# The plain size as the resources carry it: decimal, CR LF.
file(WRITE ${OUT} "${SIZE}\r\n")
