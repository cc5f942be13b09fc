"""What quadforge must show and print: the test pairs, and its reports as
the driver itself gives their contents (the probe, tests/gl_probe)."""
import os
import tempfile

RULE = "-" * 64 + "\n"

# Test pairs: a pass-through vertex stage and solid-colour fragment stages.
VERTEX = """#version 330 core
layout(location = 0) in vec2 position;
void main() { gl_Position = vec4(position, 0.0, 1.0); }
"""


def solid_fragment(rgb):
    r, g, b = (c / 255.0 for c in rgb)
    return ("#version 330 core\nout vec4 colour;\n"
            f"void main() {{ colour = vec4({r:.6f}, {g:.6f}, {b:.6f}, 1.0); }}\n")


def read_pair(folder):
    """The shader pair in folder, as Session takes its files."""
    pair = {}
    for name in ("full_screen_quad.vert", "full_screen_quad.frag"):
        with open(os.path.join(folder, name), newline="") as file:
            pair[name] = file.read()
    return pair


def expected_report(server, **env):
    """The context report quadforge must print, from the driver's own answers."""
    version, vendor, renderer, shading, attachments = (
        server.run(server.probe, **env).splitlines())
    return (RULE + "Graphics Successfully Initialized\nOpenGL Info\n" + "=" * 22 + "\n"
            f"              Version: {version}\n"
            f"               Vendor: {vendor}\n"
            f"             Renderer: {renderer}\n"
            f"              Shading: {shading}\n"
            "Misc Stats\n" + "=" * 22 + "\n"
            f"Max Color Attachments: {attachments}\n" + RULE)


def probe_log(server, *sources):
    """The driver's own log for sources: one fragment stage is compiled, a
    vertex and fragment pair linked. Returns (program name or "", log), the
    log with its line feeds as the driver gives them."""
    with tempfile.TemporaryDirectory() as folder:
        names = []
        for number, text in enumerate(sources):
            names.append(f"stage{number}.glsl")
            with open(os.path.join(folder, names[-1]), "w") as file:
                file.write(text)
        out = server.run(server.probe, "compile" if len(names) == 1 else "link", *names,
                         cwd=folder)
    head, log = out.split("<<", 1)
    return head.strip(), log.rsplit(">>", 1)[0]

