<%@ Language="VBScript" %>
<!DOCTYPE html>
<html>
<head><meta charset="utf-8"><title>Quenza charts in VBScript</title>
<style>
body { font-family: sans-serif; margin: 2em; }
.kinds { display: flex; flex-wrap: wrap; gap: 1em; }
figure { margin: 0; }
figcaption { text-align: center; }
</style>
</head>
<body>
<h1>Quenza charts in VBScript</h1>
<p>Every chart kind, each drawn by its own VBScript page on request; the same charts as the
<a href="../index.asp">JavaScript pages</a>.</p>
<div class="kinds">
<%
Dim kinds, i
kinds = Array(Array("bar2d", "2-D bar", 1), Array("line2d", "2-D line", 2), _
              Array("area2d", "2-D area", 3), Array("pie2d", "2-D pie", 4), _
              Array("bar3d", "3-D bar", 5), Array("line3d", "3-D line", 6), _
              Array("area3d", "3-D area", 7), Array("step3d", "3-D step", 8))
' The alt text of each chart, from the chart itself: the same settings and
' data as its page, described instead of drawn.
Function Describe(chartType, title)
  Dim chart, text, months, r, c
  Set chart = Server.CreateObject("Quenza.QuenzaChart")
  chart.Height = 3
  chart.Width = 4
  chart.ChartType = chartType
  chart.ChartTitle = title
  chart.XTitle = "Month"
  chart.YTitle = "Units"
  months = Array("Jan", "Feb", "Mar", "Apr", "May", "Jun")
  text = "Month,North,South,West" & vbLf
  For r = 1 To 6
    text = text & months(r - 1)
    For c = 1 To 3
      text = text & "," & (10 + ((r * 7 + c * 13) Mod 23))
    Next
    text = text & vbLf
  Next
  chart.LoadData text
  Describe = chart.AltText()
End Function
For i = 0 To UBound(kinds)
%>
<figure>
  <a href="<%= kinds(i)(0) %>.asp"><img class="chart" src="<%= kinds(i)(0) %>.asp" alt="<%= Server.HTMLEncode(Describe(kinds(i)(2), kinds(i)(1))) %>"></a>
  <figcaption><%= Server.HTMLEncode(kinds(i)(1)) %></figcaption>
</figure>
<% Next %>
<figure>
  <img class="chart" src="bar2d.asp?img=bmp" alt="<%= Server.HTMLEncode(Describe(1, "2-D bar")) %>">
  <figcaption>2-D bar as BMP</figcaption>
</figure>
<figure>
  <img class="chart" src="logo.asp" alt="Bar chart &ldquo;Stamped&rdquo; of four values, 1, 4, 9 and 16, with the site's logo in its bottom-right corner">
  <figcaption>With a logo</figcaption>
</figure>
<figure>
  <img class="chart" src="error.asp" alt="Error chart: The sales figures are not available">
  <figcaption>The error chart</figcaption>
</figure>
</div>
<h2>More</h2>
<ul>
  <li><a href="playground.asp">Playground</a>: chart type, title, size, image type and data from the query string</li>
  <li><a href="save.asp">Save a chart to a file</a> with SaveChart</li>
  <li><a href="bench.asp">The benchmark chart</a></li>
</ul>
<script>
// Marks each chart image with the width it decoded to (0 when it did not
// decode), for readers and for the browser test.
window.addEventListener("load", function () {
  var images = document.querySelectorAll("img.chart");
  var decoded = 0;
  for (var i = 0; i < images.length; i++) {
    images[i].setAttribute("data-natural-width", images[i].naturalWidth);
    if (images[i].naturalWidth > 0) decoded++;
  }
  document.body.setAttribute("data-charts", images.length + " " + decoded);
});
</script>
</body>
</html>
