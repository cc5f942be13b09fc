"""Drives quadforge from outside, for the run command without a display, the
end-to-end tests, the benchmark and the screenshot script: display servers and
desktops (display), the X client (xclient), windows' pixels and PNG files
(image), quadforge sessions and test cases (session), and what quadforge must
print (expect)."""
