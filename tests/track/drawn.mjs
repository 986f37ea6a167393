// Shared by the browser tests of the live page.

// A screenshot of the page shows something: many pixels away from the
// background, in many colours, below the banner as well as in it. The
// browser decodes it, on a canvas outside the document.
export async function drawn(page) {
  const png = (await page.screenshot()).toString('base64');
  return page.evaluate(async (data) => {
    const image = new Image();
    image.src = 'data:image/png;base64,' + data;
    await image.decode();
    const canvas = document.createElement('canvas');
    canvas.width = image.width;
    canvas.height = image.height;
    const context = canvas.getContext('2d');
    context.drawImage(image, 0, 0);
    const px = context.getImageData(0, 0, image.width, image.height).data;
    const all = image.width * image.height, colours = new Set();
    let inked = 0, below = 0;
    for (let i = 0; i < px.length; i += 4) {
      if (px[i] + px[i + 1] + px[i + 2] < 720) {
        inked++;
        if (i / 4 > all / 4) below++;
      }
      colours.add((px[i] >> 3) << 10 | (px[i + 1] >> 3) << 5 | (px[i + 2] >> 3));
    }
    return inked > all * 0.03 && below > all * 0.01 && colours.size > 20;
  }, png);
}
