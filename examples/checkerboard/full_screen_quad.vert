#version 330 core

// Checkerboard: the corners arrive in clip space (-1..1) at location 0.
layout(location = 0) in vec2 position;

// Board coordinates: 8 squares across and 6 down, so on the 800x600 window
// each square is 100 pixels wide and high.
out vec2 cell;

void main()
{
    cell = (position * 0.5 + 0.5) * vec2(8.0, 6.0);
    gl_Position = vec4(position, 0.0, 1.0);
}
