#version 330 core

// Plasma: the corners arrive in clip space (-1..1) at location 0.
layout(location = 0) in vec2 position;

// The position stretched to the window's 4:3 shape and scaled up, so the
// waves in the fragment stage are round and a few of them fit across.
out vec2 point;

void main()
{
    point = position * vec2(4.0 / 3.0, 1.0) * 3.0;
    gl_Position = vec4(position, 0.0, 1.0);
}
