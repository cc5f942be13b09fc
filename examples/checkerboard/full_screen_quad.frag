#version 330 core

// Checkerboard: squares alternate by the parity of their column plus row.
in vec2 cell;

out vec4 frag_color;

void main()
{
    vec2 square = floor(cell);
    bool dark = mod(square.x + square.y, 2.0) >= 1.0;

    vec3 light_colour = vec3(0.93, 0.87, 0.74);
    vec3 dark_colour = vec3(0.36, 0.24, 0.16);
    frag_color = vec4(dark ? dark_colour : light_colour, 1.0);
}
