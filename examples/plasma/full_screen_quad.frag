#version 330 core

// Plasma: four sine waves summed, the sum turned into a colour.
in vec2 point;

out vec4 frag_color;

void main()
{
    float v = sin(point.x * 1.7)
            + sin(point.y * 2.3 + 1.0)
            + sin((point.x + point.y) * 1.3)
            + sin(length(point - vec2(1.0, -0.5)) * 2.9);

    // The same wave read at three phases gives red, green and blue.
    vec3 phase = vec3(0.0, 2.1, 4.2);
    vec3 rgb = 0.5 + 0.5 * cos(v * 1.6 + phase);
    frag_color = vec4(rgb, 1.0);
}
