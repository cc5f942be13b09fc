#version 330 core

// The quad's corners arrive in clip space (-1..1 on both axes) at location 0.
// Pass them through so the two triangles cover the whole window.
layout(location = 0) in vec2 position;

// Window position mapped to 0..1, for the fragment shader to paint with.
out vec2 uv;

void main()
{
    uv = position * 0.5 + 0.5;
    gl_Position = vec4(position, 0.0, 1.0);
}
