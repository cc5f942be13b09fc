"""The harness's own X client: Xlib and XTEST through ctypes, for windows by
title, their pixels, keys, and what a window manager or a pager asks of it."""
import ctypes
import os

from framework.image import Image


def _library(name, prototypes):
    """A C library with the prototypes given as {function: (result, [arguments])}."""
    library = ctypes.CDLL(name)
    for function, (result, arguments) in prototypes.items():
        getattr(library, function).restype = result
        getattr(library, function).argtypes = arguments
    return library


_P, _W, _I, _U = ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_uint
_REF = ctypes.POINTER
X11 = _library("libX11.so.6", {
    "XOpenDisplay": (_P, [ctypes.c_char_p]),
    "XCloseDisplay": (_I, [_P]),
    "XDefaultRootWindow": (_W, [_P]),
    "XQueryTree": (_I, [_P, _W, _REF(_W), _REF(_W), _REF(_P), _REF(_U)]),
    "XFetchName": (_I, [_P, _W, _REF(_P)]),
    "XFree": (_I, [_P]),
    "XGetWindowAttributes": (_I, [_P, _W, _P]),
    "XTranslateCoordinates": (_I, [_P, _W, _W, _I, _I, _REF(_I), _REF(_I), _REF(_W)]),
    "XGetImage": (_P, [_P, _W, _I, _I, _U, _U, ctypes.c_ulong, _I]),
    "XDestroyImage": (_I, [_P]),
    "XSetInputFocus": (_I, [_P, _W, _I, ctypes.c_ulong]),
    "XStringToKeysym": (ctypes.c_ulong, [ctypes.c_char_p]),
    "XKeysymToKeycode": (ctypes.c_ubyte, [_P, ctypes.c_ulong]),
    "XkbKeycodeToKeysym": (ctypes.c_ulong, [_P, ctypes.c_ubyte, _I, _I]),
    "XInternAtom": (ctypes.c_ulong, [_P, ctypes.c_char_p, _I]),
    "XSendEvent": (_I, [_P, _W, _I, ctypes.c_long, _P]),
    "XSync": (_I, [_P, _I]),
    "XSetErrorHandler": (_P, [_P]),
    "XGetWindowProperty": (_I, [_P, _W, ctypes.c_ulong, ctypes.c_long, ctypes.c_long, _I,
                                ctypes.c_ulong, _REF(ctypes.c_ulong), _REF(_I), _REF(ctypes.c_ulong),
                                _REF(ctypes.c_ulong), _REF(_P)]),
    "XGetInputFocus": (_I, [_P, _REF(_W), _REF(_I)]),
    "XCreateSimpleWindow": (_W, [_P, _W, _I, _I, _U, _U, _U, ctypes.c_ulong, ctypes.c_ulong]),
    "XStoreName": (_I, [_P, _W, ctypes.c_char_p]),
    "XMapWindow": (_I, [_P, _W]),
    "XDestroyWindow": (_I, [_P, _W]),
    "XVisualIDFromVisual": (ctypes.c_ulong, [_P]),
    "XSelectInput": (_I, [_P, _W, ctypes.c_long]),
    "XChangeProperty": (_I, [_P, _W, ctypes.c_ulong, ctypes.c_ulong, _I, _I, _P, _I]),
    "XWindowEvent": (_I, [_P, _W, ctypes.c_long, _P]),
    "XGetVisualInfo": (_P, [_P, ctypes.c_long, _P, _REF(_I)]),
})
XTST = _library("libXtst.so.6", {
    "XTestFakeKeyEvent": (_I, [_P, _U, _I, ctypes.c_ulong]),
    "XTestFakeMotionEvent": (_I, [_P, _I, _I, _I, ctypes.c_ulong]),
})
# GLX's view of a visual; loaded on first use, as only the tests ask it.
_GLX_PROTOTYPES = {"glXGetConfig": (_I, [_P, _P, _I, _REF(_I)])}
_GLX = []
GLX_ATTRIBUTES = {"use_gl": 1, "rgba": 4, "double_buffer": 5, "red": 8, "green": 9, "blue": 10}
VISUAL_ID_MASK = 1
# Windows come and go under a reader's feet; Xlib's default handler would end
# the process over a read of one that just went, and every caller copes with a
# failed call instead.
IGNORE_ERRORS = ctypes.CFUNCTYPE(_I, _P, _P)(lambda _display, _error: 0)
X11.XSetErrorHandler(ctypes.cast(IGNORE_ERRORS, _P))
IS_VIEWABLE = 2
# WM_STATE's states (ICCCM 4.1.3.1).
NORMAL_STATE, ICONIC_STATE = 1, 3
# Client messages to the root reach the window manager with these.
SUBSTRUCTURE_MASK = (1 << 19) | (1 << 20)
# The sender of an EWMH request: a pager, as the user acting through one.
FROM_PAGER = 2
PROPERTY_CHANGE_MASK = 1 << 22
XA_STRING, PROP_MODE_APPEND = 31, 2


class WindowAttributes(ctypes.Structure):
    _fields_ = [("x", _I), ("y", _I), ("width", _I), ("height", _I), ("border_width", _I),
                ("depth", _I), ("visual", _P), ("root", _W), ("class_", _I),
                ("bit_gravity", _I), ("win_gravity", _I), ("backing_store", _I),
                ("backing_planes", ctypes.c_ulong), ("backing_pixel", ctypes.c_ulong),
                ("save_under", _I), ("colormap", _W), ("map_installed", _I), ("map_state", _I),
                ("all_event_masks", ctypes.c_long), ("your_event_mask", ctypes.c_long),
                ("do_not_propagate_mask", ctypes.c_long), ("override_redirect", _I),
                ("screen", _P)]


class XImage(ctypes.Structure):
    """The leading fields of Xlib's XImage."""
    _fields_ = [("width", _I), ("height", _I), ("xoffset", _I), ("format", _I), ("data", _P),
                ("byte_order", _I), ("bitmap_unit", _I), ("bitmap_bit_order", _I),
                ("bitmap_pad", _I), ("depth", _I), ("bytes_per_line", _I),
                ("bits_per_pixel", _I), ("red_mask", ctypes.c_ulong),
                ("green_mask", ctypes.c_ulong), ("blue_mask", ctypes.c_ulong)]


class VisualInfo(ctypes.Structure):
    _fields_ = [("visual", _P), ("visualid", ctypes.c_ulong), ("screen", _I), ("depth", _I),
                ("class_", _I), ("red_mask", ctypes.c_ulong), ("green_mask", ctypes.c_ulong),
                ("blue_mask", ctypes.c_ulong), ("colormap_size", _I), ("bits_per_rgb", _I)]


class PropertyEvent(ctypes.Structure):
    _fields_ = [("type", _I), ("serial", ctypes.c_ulong), ("send_event", _I), ("display", _P),
                ("window", _W), ("atom", ctypes.c_ulong), ("time", ctypes.c_ulong),
                ("state", _I), ("pad", ctypes.c_long * 18)]


class ClientMessage(ctypes.Structure):
    _fields_ = [("type", _I), ("serial", ctypes.c_ulong), ("send_event", _I),
                ("display", _P), ("window", _W), ("message_type", ctypes.c_ulong),
                ("format", _I), ("data", ctypes.c_long * 5), ("pad", ctypes.c_long * 12)]


class Display:
    """One connection to an X server, kept open: windows by title, their
    pixels, keys through XTEST, the close request, and what a pager asks of
    a window manager."""

    def __init__(self, name, xauthority=None):
        # Xlib reads the cookie file's name from the environment.
        saved = os.environ.get("XAUTHORITY")
        if xauthority:
            os.environ["XAUTHORITY"] = xauthority
        try:
            self.handle = X11.XOpenDisplay(name.encode())
        finally:
            if xauthority:
                os.environ.pop("XAUTHORITY")
                if saved is not None:
                    os.environ["XAUTHORITY"] = saved
        if not self.handle:
            raise RuntimeError("cannot open display " + name)
        self.root = X11.XDefaultRootWindow(self.handle)
        # Never mapped: the server stamps its property changes with its time.
        self.clock = X11.XCreateSimpleWindow(self.handle, self.root, 0, 0, 1, 1, 0, 0, 0)
        X11.XSelectInput(self.handle, self.clock, PROPERTY_CHANGE_MASK)

    def close(self):
        X11.XCloseDisplay(self.handle)

    def attributes(self, window):
        """The window's attributes, or None once it is gone."""
        attributes = WindowAttributes()
        if not X11.XGetWindowAttributes(self.handle, window, ctypes.byref(attributes)):
            return None
        return attributes

    def gl_config(self, window):
        """What GLX says of the window's visual, as {name: value} for the
        names of GLX_ATTRIBUTES, or None once the window is gone."""
        attributes = self.attributes(window)
        if attributes is None:
            return None
        if not _GLX:
            _GLX.append(_library("libGL.so.1", _GLX_PROTOTYPES))
        template = VisualInfo(visualid=X11.XVisualIDFromVisual(attributes.visual))
        count = _I()
        info = X11.XGetVisualInfo(self.handle, VISUAL_ID_MASK, ctypes.byref(template),
                                  ctypes.byref(count))
        if not info:
            return None
        config = {}
        for name, attribute in GLX_ATTRIBUTES.items():
            value = _I()
            if _GLX[0].glXGetConfig(self.handle, info, attribute, ctypes.byref(value)) == 0:
                config[name] = value.value
        X11.XFree(info)
        return config

    def is_viewable(self, window):
        attributes = self.attributes(window)
        return attributes is not None and attributes.map_state == IS_VIEWABLE

    def title(self, window):
        name = _P()
        if not X11.XFetchName(self.handle, window, ctypes.byref(name)) or not name.value:
            return None
        title = ctypes.string_at(name.value).decode(errors="replace")
        X11.XFree(name)
        return title

    def tree(self, window):
        """(parent, children) of the window, or (None, []) once it is gone."""
        root, parent, children, count = _W(), _W(), _P(), _U()
        if not X11.XQueryTree(self.handle, window, ctypes.byref(root), ctypes.byref(parent),
                              ctypes.byref(children), ctypes.byref(count)):
            return None, []
        windows = list(ctypes.cast(children, _REF(_W))[:count.value]) if children else []
        if children:
            X11.XFree(children)
        return parent.value, windows

    def find(self, title):
        """The viewable window named title, or None: a child of the root with
        no window manager, inside the manager's frame with one. A frame may
        carry its client's title too (Mutter 48's), and show before the
        client inside it does: the innermost wins, once it is viewable."""
        found, waiting = None, [(child, False) for child in self.tree(self.root)[1]]
        while waiting:
            window, in_titled = waiting.pop(0)
            titled = self.title(window) == title
            if not self.is_viewable(window):
                if titled and in_titled:
                    return None
                continue
            if titled:
                found = window
            waiting += [(child, in_titled or titled) for child in self.tree(window)[1]]
        return found

    def frame(self, window):
        """The top-level ancestor of the window: its manager's frame, or the
        window itself on a bare server."""
        parent = self.tree(window)[0]
        while parent and parent != self.root:
            window, parent = parent, self.tree(parent)[0]
        return window

    def atom(self, name):
        return X11.XInternAtom(self.handle, name.encode(), 0)

    def property(self, window, name):
        """A 32-bit property's values as a list, or None where it is unset."""
        kind, size, count, left, data = ctypes.c_ulong(), _I(), ctypes.c_ulong(), \
            ctypes.c_ulong(), _P()
        if X11.XGetWindowProperty(self.handle, window, self.atom(name), 0, 64, 0, 0,
                                  ctypes.byref(kind), ctypes.byref(size), ctypes.byref(count),
                                  ctypes.byref(left), ctypes.byref(data)) != 0:
            return None
        values = (list(ctypes.cast(data, _REF(ctypes.c_ulong))[:count.value])
                  if kind.value and size.value == 32 else None)
        if data:
            X11.XFree(data)
        return values

    def server_time(self):
        """The X server's time now, as a user's click would carry it."""
        atom = self.atom("QUADFORGE_TIME")
        X11.XChangeProperty(self.handle, self.clock, atom, XA_STRING, 8, PROP_MODE_APPEND, None, 0)
        event = PropertyEvent()
        X11.XWindowEvent(self.handle, self.clock, PROPERTY_CHANGE_MASK, ctypes.byref(event))
        return event.time

    def frame_extents(self, window):
        """(left, right, top, bottom) that the manager's frame adds to the
        window, as _NET_FRAME_EXTENTS says, or None."""
        extents = self.property(window, "_NET_FRAME_EXTENTS")
        return tuple(extents) if extents and len(extents) == 4 else None

    def wm_state(self, window):
        """NORMAL_STATE or ICONIC_STATE as the manager set it, or None."""
        state = self.property(window, "WM_STATE")
        return state[0] if state else None

    def input_focus(self):
        window, revert = _W(), _I()
        X11.XGetInputFocus(self.handle, ctypes.byref(window), ctypes.byref(revert))
        return window.value

    def create_window(self, title, width=200, height=150):
        """A plain window of the harness's own, mapped; gone with destroy_window."""
        window = X11.XCreateSimpleWindow(self.handle, self.root, 0, 0, width, height, 0, 0,
                                         0xFFFFFF)
        X11.XStoreName(self.handle, window, title.encode())
        X11.XMapWindow(self.handle, window)
        X11.XSync(self.handle, 0)
        return window

    def destroy_window(self, window):
        X11.XDestroyWindow(self.handle, window)
        X11.XSync(self.handle, 0)

    def geometry(self, window):
        """(x, y, width, height, title); x and y on the screen, outside the
        border, as xwininfo gives them."""
        attributes = self.attributes(window)
        x, y, child = _I(), _I(), _W()
        X11.XTranslateCoordinates(self.handle, window, self.root, -attributes.border_width,
                                  -attributes.border_width, ctypes.byref(x), ctypes.byref(y),
                                  ctypes.byref(child))
        return x.value, y.value, attributes.width, attributes.height, self.title(window)

    def image(self, window, x=0, y=0, width=None, height=None):
        """The pixels of a part of the window (all of it by default), or None
        while it cannot be read."""
        attributes = self.attributes(window)
        if attributes is None:
            return None
        width = attributes.width if width is None else width
        height = attributes.height if height is None else height
        pointer = X11.XGetImage(self.handle, window, x, y, width, height, 0xFFFFFFFF, 2)  # ZPixmap
        if not pointer:
            return None
        image = XImage.from_address(pointer)
        assert image.bits_per_pixel == 32, f"unexpected {image.bits_per_pixel} bits per pixel"
        data = ctypes.string_at(image.data, image.bytes_per_line * height)
        X11.XDestroyImage(pointer)
        rows = b"".join(data[row * image.bytes_per_line: row * image.bytes_per_line + 4 * width]
                        for row in range(height))
        offsets = []
        for mask in (image.red_mask, image.green_mask, image.blue_mask):
            byte = ((mask & -mask).bit_length() - 1) // 8
            offsets.append(byte if image.byte_order == 0 else 3 - byte)
        return Image(width, height, *(rows[offset::4] for offset in offsets))

    def point_at(self, window):
        """The pointer to the window's centre."""
        x, y, width, height, _ = self.geometry(window)
        XTST.XTestFakeMotionEvent(self.handle, -1, x + width // 2, y + height // 2, 0)
        X11.XSync(self.handle, 0)

    def focus(self, window):
        """The pointer to the window's centre and the keyboard to the window
        (with no window manager focus would follow the pointer)."""
        self.point_at(window)
        X11.XSetInputFocus(self.handle, window, 1, 0)  # RevertToPointerRoot, CurrentTime
        X11.XSync(self.handle, 0)

    def press(self, *names):
        """Presses and releases each key, by its X keysym name ("s", "S",
        "Escape"); a keysym on the shifted level is typed with Shift held."""
        shift = X11.XKeysymToKeycode(self.handle, X11.XStringToKeysym(b"Shift_L"))
        for name in names:
            keysym = X11.XStringToKeysym(name.encode())
            code = X11.XKeysymToKeycode(self.handle, keysym)
            assert code, f"no key for {name!r}"
            held = [shift] if X11.XkbKeycodeToKeysym(self.handle, code, 0, 0) != keysym else []
            for key, down in ([(key, 1) for key in held] + [(code, 1), (code, 0)]
                              + [(key, 0) for key in held]):
                XTST.XTestFakeKeyEvent(self.handle, key, down, 0)
        X11.XSync(self.handle, 0)

    def _send(self, window, message_type, data, to=None, mask=0):
        event = ClientMessage(type=33, send_event=1, window=window, format=32)  # ClientMessage
        event.message_type = self.atom(message_type)
        for index, value in enumerate(data):
            event.data[index] = value
        X11.XSendEvent(self.handle, window if to is None else to, 0, mask, ctypes.byref(event))
        X11.XSync(self.handle, 0)

    def delete_window(self, window):
        """Closes the window as a window manager would for the user."""
        self._send(window, "WM_PROTOCOLS", [self.atom("WM_DELETE_WINDOW")])

    def ask_manager(self, window, message_type, *data):
        """A request about the window to the window manager, as a pager sends it."""
        self._send(window, message_type, data, to=self.root, mask=SUBSTRUCTURE_MASK)

    def activate(self, window):
        self.ask_manager(window, "_NET_ACTIVE_WINDOW", FROM_PAGER, self.server_time(), 0)

    def move_resize(self, window, x, y, width, height):
        # Gravity from the window's hints; x, y, width and height all given.
        self.ask_manager(window, "_NET_MOVERESIZE_WINDOW", (FROM_PAGER << 12) | (0xF << 8),
                         x, y, width, height)

    def iconify(self, window):
        self.ask_manager(window, "WM_CHANGE_STATE", ICONIC_STATE)

    def close_by_manager(self, window):
        """The manager's close, as its close box does: it asks the client."""
        self.ask_manager(window, "_NET_CLOSE_WINDOW", self.server_time(), FROM_PAGER)

