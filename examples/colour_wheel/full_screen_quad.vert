#version 330 core

// Colour wheel: the corners arrive in clip space (-1..1) at location 0.
layout(location = 0) in vec2 position;

// The position with x stretched to the window's 4:3 shape, so the wheel
// drawn in the fragment stage is a circle, not an ellipse.
out vec2 point;

void main()
{
    point = position * vec2(4.0 / 3.0, 1.0);
    gl_Position = vec4(position, 0.0, 1.0);
}
